#include <gtest/gtest.h>

#include <vekhost/rest_router.h>
#include <filesystem>

namespace {

using vekhost::RestRequest;
using vekhost::RestRouter;

TEST(RestRouter, PatchDeepMergesAndTheDeviceListFollowsTheServer) {
    RestRouter router("srv-1");
    router.addDevice("cam-1", "Front door");
    EXPECT_EQ(router
                  .handle({"PATCH", "/rest/v4/devices/cam-1", "application/json",
                           R"({"parameters":{"vekAI":{"PluginEnabled":true,"models":[1]}}})"})
                  .status,
              200);
    router.handle({"PATCH", "/rest/v4/devices/cam-1", "application/json",
                   R"({"parameters":{"vekAI":{"models":[2],"pipelines":[]}}})"});
    EXPECT_EQ(router.parametersOf("cam-1"),
              R"({"vekAI":{"PluginEnabled":true,"models":[2],"pipelines":[]}})");

    const auto list = router.handle({"GET", "/rest/v4/devices?serverId=srv-1", "", ""});
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(
        list.body,
        R"([{"id":"cam-1","name":"Front door","serverId":"srv-1","parameters":{"vekAI":{"PluginEnabled":true,)"
        R"("models":[2],"pipelines":[]}}}])");
    EXPECT_EQ(router.handle({"GET", "/rest/v4/devices?serverId=other", "", ""}).body, "[]");
    EXPECT_EQ(router.handle({"GET", "/rest/v4/devices/unknown", "", ""}).status, 404);
    EXPECT_EQ(router.handle({"PATCH", "/rest/v4/servers/this", "application/json", "not json"}).status, 400);
    EXPECT_EQ(router.handle({"DELETE", "/rest/v4/servers/this", "", ""}).status, 405);
}

TEST(RestRouter, ParametersSurviveARestart) {
    const auto store =
        std::filesystem::temp_directory_path() / ("vekhost-rest-" + std::to_string(getpid()) + ".json");
    {
        RestRouter router("srv-1", store);
        router.handle({"PATCH", "/rest/v4/servers/this", "application/json",
                       R"({"parameters":{"vekAI":{"siteID":"site-9"}}})"});
        router.handle({"PATCH", "/rest/v4/devices/cam-2", "application/json", R"({"parameters":{"x":1}})"});
    }
    RestRouter restarted("srv-1", store);
    EXPECT_EQ(restarted.parametersOf(""), R"({"vekAI":{"siteID":"site-9"}})");
    EXPECT_EQ(restarted.parametersOf("cam-2"), R"({"x":1})");
    std::filesystem::remove(store);
}

}  // namespace
