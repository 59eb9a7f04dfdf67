// A plugin library for the host's tests: implements the interfaces the host calls, journals each
// call and behaves as the unit-test options given by the host ask ("fake.*" keys).
#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <vek/sdk/helpers/lib_context.h>
#include <vek/sdk/helpers/string.h>
#include <mutex>
#include <string>

#include "fake_metadata.h"
#include "fake_plugin_recorder.h"

namespace {

using namespace vek::sdk;
using namespace vek::sdk::analytics;
using namespace vekhost::testing;

// The options the host handed to vekSetUnitTestOptions.
std::string option(const std::string& key) {
    const auto options = LibContext::instance().unitTestOptions();
    const auto found = options.find(key);
    return found == options.end() ? std::string() : found->second;
}

void record(const std::string& event) {
    vekFakePluginRecord(event.c_str());
}

template <class Value>
void failWith(Result<Value>* result, ErrorCode code, const char* message) {
    *result = Result<Value>(Error{code, new String(message)});
}

// Objects the plugin keeps alive on purpose, to see the host refuse to unload the library; never
// freed, so that nothing of them runs at process exit.
std::vector<Ptr<IRefCountable>>& leaked() {
    static auto* objects = new std::vector<Ptr<IRefCountable>>();
    return *objects;
}

class CompletionRecorder : public RefCountable<IHttpRequestCompletionHandler> {
public:
    ~CompletionRecorder() override { record("http handler destroyed"); }
    void execute(Result<IString*> response) override {
        if (!response.isOk()) {
            record("http failed " + std::to_string(static_cast<int>(response.error.errorCode)) + ": " +
                   takeString(response.error.errorMessage));
            return;
        }
        const std::string text = takeString(response.value);
        record("http answered " + text.substr(0, text.find("\r\n")));
    }
};

class FakeAgent : public RefCountable<IConsumingDeviceAgent2> {
public:
    FakeAgent(const IDeviceInfo* info, Ptr<IUtilityProvider> provider)
        : deviceId(info->id()), deviceName(info->name()), provider(std::move(provider)) {}

    ~FakeAgent() override {
        record("agent destroyed " + deviceName);
        // Like the real plugin, an agent going away tells the server about it and does not wait.
        const Ptr<CompletionRecorder> handler(new CompletionRecorder());
        provider->sendHttpRequest(HttpDomainName::vms, ("/rest/v4/devices/" + deviceId).c_str(), "PATCH",
                                  "application/json", R"({"parameters":{}})", handler.get());
    }

    void setHandler(IHandler* newHandler) override {
        std::lock_guard lock(mutex);
        handler = shareToPtr(newHandler);
    }
    void finalize() override { record("finalize " + deviceName); }

protected:
    void doSetSettings(Result<const ISettingsResponse*>*, const IStringMap*) override {}
    void getIntegrationSideSettings(Result<const ISettingsResponse*>*) const override {}
    void getManifest(Result<const IString*>* outResult) const override {
        if (option("fake.deviceManifest") == "error")
            return failWith(outResult, ErrorCode::notImplemented, "no device manifest yet");
        *outResult = Result<const IString*>(new String(R"({"device":")" + deviceName + R"("})"));
    }
    void doSetNeededMetadataTypes(Result<void>*, const IMetadataTypes*) override {}
    void doGetSettingsOnActiveSettingChange(Result<const IActiveSettingChangedResponse*>*,
                                            const IActiveSettingChangedAction*) override {}

    void doPushDataPacket(Result<void>* outResult, IDataPacket* packet) override {
        const auto frame = toPtr(packet->queryInterface<IUncompressedVideoFrame1>());
        if (!frame)
            return failWith(outResult, ErrorCode::invalidParams, "not an uncompressed frame");
        record("frame " + deviceName + " " + std::to_string(frame->width()) + "x" +
               std::to_string(frame->height()) + " " + std::to_string(frame->lineSize(0)) + " " +
               std::to_string(frame->lineSize(1)) + " " + std::to_string(frame->lineSize(2)) + " " +
               std::to_string(frame->timestampUs()));
        if (option("fake.refuseFrames") == "1")
            return failWith(outResult, ErrorCode::otherError, "frames refused");
        answer(frame->timestampUs());
    }

private:
    void answer(int64_t timestamp) {
        Ptr<IHandler> target;
        {
            std::lock_guard lock(mutex);
            target = handler;
        }
        if (!target)
            return;
        const uint8_t sequence = static_cast<uint8_t>(++frames);

        const Ptr<FakeObjectPacket> objects(new FakeObjectPacket(timestamp));
        auto* object = new FakeObject();
        object->typeIdText = "fake.rectangle";
        object->confidenceValue = 0.75f;
        object->track = sequentialUuid(sequence);
        object->box = Rect{0.25f, 0.5f, 0.125f, 0.25f};
        object->attributes = {{"color", "red", 1.0f}};
        objects->add(object);
        target->handleMetadata(objects.get());

        const Ptr<FakeEventPacket> events(new FakeEventPacket(timestamp));
        auto* event = new FakeEvent();
        event->typeIdText = "fake.seen";
        event->confidenceValue = 1;
        event->captionText = "Seen";
        event->descriptionText = "A rectangle on " + deviceName;
        event->active = true;
        events->add(event);
        target->handleMetadata(events.get());

        const Ptr<FakeBestShotPacket> shot(new FakeBestShotPacket());
        shot->timestamp = timestamp;
        shot->track = sequentialUuid(sequence);
        shot->box = Rect{0.25f, 0.5f, 0.125f, 0.25f};
        target->handleMetadata(shot.get());
    }

    const std::string deviceId;
    const std::string deviceName;
    const Ptr<IUtilityProvider> provider;
    std::mutex mutex;
    Ptr<IHandler> handler;
    int frames = 0;
};

class FakeEngine : public RefCountable<IEngine> {
public:
    explicit FakeEngine(Ptr<IUtilityProvider> provider) : provider(std::move(provider)) {
        record("engine created");
    }
    ~FakeEngine() override { record("engine destroyed"); }

    void setEngineInfo(const IEngineInfo*) override {}
    void setHandler(IHandler* newHandler) override {
        handler = shareToPtr(newHandler);
        record("engine handler set");
    }

protected:
    void doSetSettings(Result<const ISettingsResponse*>*, const IStringMap*) override {}
    void getIntegrationSideSettings(Result<const ISettingsResponse*>*) const override {}
    void getManifest(Result<const IString*>* outResult) const override {
        if (option("fake.engineManifest") == "error")
            return failWith(outResult, ErrorCode::internalError, "engine manifest unavailable");
        *outResult = Result<const IString*>(new String(R"({"engine":"fake"})"));
    }
    void isCompatible(Result<bool>* outResult, const IDeviceInfo*) const override { *outResult = true; }
    void doObtainDeviceAgent(Result<IDeviceAgent*>* outResult, const IDeviceInfo* info) override {
        record(std::string("obtain agent ") + info->name() + " " + info->id());
        *outResult = Result<IDeviceAgent*>(new FakeAgent(info, provider));
    }
    void doExecuteAction(Result<IActionResponse*>*, const IAction*) override {}
    void doGetSettingsOnActiveSettingChange(Result<const IActiveSettingChangedResponse*>*,
                                            const IActiveSettingChangedAction*) override {}

private:
    const Ptr<IUtilityProvider> provider;
    Ptr<IHandler> handler;
};

class FakePlugin : public RefCountable<IPlugin> {
public:
    FakePlugin() { record("plugin created"); }
    ~FakePlugin() override { record("plugin destroyed"); }

    void setUtilityProvider(IUtilityProvider* newProvider) override {
        provider = shareToPtr(newProvider);
        const auto provider7 = provider.queryInterface<IUtilityProvider7>();
        const IString* cloudSystemId = provider->cloudSystemId();
        record("provider home=" + takeString(provider->homeDir()) + " data=" +
               (provider7 ? takeString(provider7->dataDir()) : std::string("(no IUtilityProvider7)")) +
               " server=" + provider->serverId() + " token=" + provider->cloudToken() +
               " site=" + (cloudSystemId ? takeString(cloudSystemId) : std::string("(none)")));
    }

protected:
    void getManifest(Result<const IString*>* outResult) const override {
        const std::string mode = option("fake.manifest");
        if (mode == "error")
            return failWith(outResult, ErrorCode::internalError, "manifest unavailable");
        if (mode == "invalid")
            *outResult = Result<const IString*>(new String("{not json"));
        else
            *outResult = Result<const IString*>(new String(R"({"id":"fake.plugin","name":"Fake"})"));
    }

    void doObtainEngine(Result<IEngine*>* outResult) override {
        record("obtain engine");
        if (option("fake.engine") == "error")
            return failWith(outResult, ErrorCode::badState, "no engine today");
        auto* engine = new FakeEngine(provider);
        if (option("fake.leakEngine") == "1")
            leaked().push_back(shareToPtr<IRefCountable>(engine));
        *outResult = Result<IEngine*>(engine);
    }

private:
    Ptr<IUtilityProvider> provider;
};

// Answers only the integration interface, as a library of some other kind of plugin would.
class FakeIntegration : public RefCountable<IIntegration> {
public:
    void setUtilityProvider(IUtilityProvider*) override {}

protected:
    void getManifest(Result<const IString*>* outResult) const override {
        *outResult = Result<const IString*>(new String("{}"));
    }
};

__attribute__((destructor)) void onUnload() {
    record("library unloaded");
}

}  // namespace

// The other entry points come with the helper layer.
extern "C" IIntegration* createVekPlugin() {
    const std::string mode = option("fake.create");
    if (mode == "null")
        return nullptr;
    if (mode == "integrationOnly")
        return new FakeIntegration();
    return new FakePlugin();
}
