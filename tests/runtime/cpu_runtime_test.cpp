#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_runtime.h"
#include "runtime_test_support.h"

namespace fs = std::filesystem;
using runtimetest::floatValues;
using runtimetest::ScratchDir;

namespace {

constexpr int kTimeout = VEK_RUNTIME_TIMEOUT;

// The CPU runtime as its package installs it: unpacked into a folder of its own, loaded through the
// plugin's loader, fresh for every test.
class CpuRuntimeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        packageDir = std::make_unique<ScratchDir>();
        const std::string command =
            "tar -xzf '" + std::string(VEK_CPU_RUNTIME_PACKAGE) + "' -C '" + packageDir->path.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        runtimetest::keepLoaded(packageDir->path / "libonnxruntime.so.1");
    }
    static void TearDownTestSuite() { packageDir.reset(); }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(packageDir->path / "libonnxruntime.so.1"));
        runtime = std::make_unique<VekaiRuntime>((packageDir->path / "libRuntimeLibrary.so").string());
        ASSERT_TRUE(runtime->isLoaded());
    }
    void TearDown() override {
        if (runtime != nullptr) {
            runtime->cleanup();
        }
    }

    int init(std::vector<std::pair<std::string, std::string>> args = {}) {
        std::vector<const char*> keys;
        std::vector<const char*> values;
        for (const auto& [key, value] : args) {
            keys.push_back(key.c_str());
            values.push_back(value.c_str());
        }
        Config config{};
        config.count = static_cast<int32_t>(args.size());
        config.keys = keys.data();
        config.values = values.data();
        return runtime->init(config);
    }

    int load(std::vector<std::string> names) {
        std::vector<std::string> paths;
        for (const std::string& name : names) {
            paths.push_back(name.front() == '/' ? name : std::string(VEK_TEST_MODELS_DIR) + "/" + name);
        }
        std::vector<ModelConfig> configs(paths.size(), ModelConfig{});
        for (size_t i = 0; i < paths.size(); ++i) {
            configs[i].path = paths[i].c_str();
        }
        return runtime->loadModels(static_cast<int>(configs.size()), configs.data());
    }

    static TensorsPtr addMulRequest(int32_t id, float scale) {
        TensorsPtr set = allocate_tensors(id, 2);
        const std::vector<int32_t> shape{1, 4};
        const std::vector<float> a{1 * scale, 2 * scale, 3 * scale, 4 * scale};
        const std::vector<float> b{10, 20, 30, 40};
        // Given in the opposite order to the model's declaration: inputs are bound by name.
        fill_tensor(set->tensors[0], "b", TENSOR_TYPE_FLOAT32, shape, b.data(), b.size() * sizeof(float));
        fill_tensor(set->tensors[1], "a", TENSOR_TYPE_FLOAT32, shape, a.data(), a.size() * sizeof(float));
        return set;
    }

    // Enqueues the set; on success the runtime owns it.
    int enqueue(int model, TensorsPtr& set) {
        const int status = runtime->enqueueInput(model, set.get());
        if (status == 0) {
            (void)set.release();
        }
        return status;
    }

    TensorsPtr retrieve(int& model, int timeoutMs = 10000, int* status = nullptr) {
        Tensors* output = nullptr;
        const int result = runtime->retrieveOutput(&model, &output, timeoutMs);
        if (status != nullptr) {
            *status = result;
        }
        return TensorsPtr(output);
    }

    // Owned by a static so that the death test's child, which ends in std::exit, removes it too.
    static std::unique_ptr<ScratchDir> packageDir;
    std::unique_ptr<VekaiRuntime> runtime;
};

std::unique_ptr<ScratchDir> CpuRuntimeTest::packageDir;

TEST_F(CpuRuntimeTest, NamesItselfAsTheGenericCpuRuntime) {
    EXPECT_STREQ(runtime->getName(), "Generic CPU");
    EXPECT_NE(std::string(runtime->getVersion()).find("1.29.0"), std::string::npos);
}

TEST_F(CpuRuntimeTest, OutputsComeInDeclaredOrderWithNamesTypesShapesAndTheRequestId) {
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"dynamic.onnx", "add_mul.onnx"}), 0) << runtime->getError();
    TensorsPtr request = addMulRequest(42, 1);
    ASSERT_EQ(enqueue(1, request), 0) << runtime->getError();
    int model = -1;
    int status = -1;
    TensorsPtr output = retrieve(model, 10000, &status);
    ASSERT_EQ(status, 0);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(model, 1);
    EXPECT_EQ(output->id, 42);
    ASSERT_EQ(output->count, 2);
    const Tensor& product = output->tensors[0];
    const Tensor& sum = output->tensors[1];
    EXPECT_STREQ(product.name, "product");
    EXPECT_STREQ(sum.name, "sum");
    for (const Tensor* entry : {&product, &sum}) {
        EXPECT_EQ(entry->type, TENSOR_TYPE_FLOAT32);
        ASSERT_EQ(entry->rank, 2);
        EXPECT_EQ(entry->shape[0], 1);
        EXPECT_EQ(entry->shape[1], 4);
        EXPECT_EQ(entry->size, 16u);
    }
    EXPECT_EQ(floatValues(product), (std::vector<float>{10, 40, 90, 160}));
    EXPECT_EQ(floatValues(sum), (std::vector<float>{11, 22, 33, 44}));
}

TEST_F(CpuRuntimeTest, OpenDimensionsTakeTheRequestShapeAndIntegerTensorsPassThrough) {
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"dynamic.onnx"}), 0) << runtime->getError();
    TensorsPtr request = allocate_tensors(7, 2);
    const std::vector<float> x{1, 2, 3, 4, 5, 6};
    const int64_t n = 41;
    fill_tensor(request->tensors[0], "x", TENSOR_TYPE_FLOAT32, std::vector<int32_t>{2, 3}, x.data(), 24);
    fill_tensor(request->tensors[1], "n", TENSOR_TYPE_INT64, std::vector<int32_t>{1}, &n, 8);
    ASSERT_EQ(enqueue(0, request), 0) << runtime->getError();
    int model = -1;
    TensorsPtr output = retrieve(model);
    ASSERT_NE(output, nullptr);
    ASSERT_EQ(output->count, 2);
    EXPECT_EQ(output->tensors[0].shape[0], 2);
    EXPECT_EQ(floatValues(output->tensors[0]), (std::vector<float>{2, 4, 6, 8, 10, 12}));
    EXPECT_EQ(output->tensors[1].type, TENSOR_TYPE_INT64);
    EXPECT_EQ(*static_cast<const int64_t*>(output->tensors[1].data), 42);
}

struct BadRequest {
    const char* name;
    const char* tensorName;
    TensorElementType type;
    std::vector<int32_t> shape;
    uint64_t bytes;
    const char* complaint;
};

void PrintTo(const BadRequest& c, std::ostream* out) {
    *out << c.name;
}

class CpuRuntimeRequestTest : public CpuRuntimeTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(CpuRuntimeRequestTest, RequestThatDoesNotFitTheModelIsRefusedAndStaysWithTheCaller) {
    const BadRequest& c = GetParam();
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    TensorsPtr request = allocate_tensors(1, 2);
    const std::vector<uint8_t> data(c.bytes, 0);
    const std::vector<float> b(4, 1.0f);
    fill_tensor(request->tensors[0], c.tensorName, c.type, c.shape, data.data(), data.size());
    fill_tensor(request->tensors[1], "b", TENSOR_TYPE_FLOAT32, std::vector<int32_t>{1, 4}, b.data(), 16);
    EXPECT_NE(enqueue(0, request), 0);
    ASSERT_NE(request, nullptr);
    EXPECT_NE(std::string(runtime->getError()).find(c.complaint), std::string::npos) << runtime->getError();
    int model = -1;
    int status = -1;
    EXPECT_EQ(retrieve(model, 50, &status), nullptr);
    EXPECT_EQ(status, kTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Mismatches, CpuRuntimeRequestTest,
    ::testing::Values(
        BadRequest{"MissingInput", "c", TENSOR_TYPE_FLOAT32, {1, 4}, 16, "input 'a' is missing"},
        BadRequest{"WrongType", "a", TENSOR_TYPE_INT32, {1, 4}, 16, "input 'a' has element type 6"},
        BadRequest{"WrongRank", "a", TENSOR_TYPE_FLOAT32, {4}, 16, "input 'a' has rank 1"},
        BadRequest{"WrongDimension", "a", TENSOR_TYPE_FLOAT32, {1, 5}, 20, "input 'a' has dimension 1 of 5"},
        BadRequest{
            "TooFewBytes", "a", TENSOR_TYPE_FLOAT32, {1, 4}, 12, "carries 12 bytes, its shape needs 16"},
        BadRequest{
            "TooManyBytes", "a", TENSOR_TYPE_FLOAT32, {1, 4}, 20, "carries 20 bytes, its shape needs 16"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CpuRuntimeTest, FailedInferenceIsStillAnsweredWithAnEmptySetAndAReason) {
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"two_rows.onnx"}), 0) << runtime->getError();
    TensorsPtr odd = runtimetest::floatSet(5, "x", {3}, {1, 2, 3});
    ASSERT_EQ(enqueue(0, odd), 0) << runtime->getError();
    int model = -1;
    int status = -1;
    TensorsPtr output = retrieve(model, 10000, &status);
    ASSERT_EQ(status, 0);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->id, 5);
    EXPECT_EQ(output->count, 0);
    EXPECT_NE(std::string(runtime->getError()).find("inference failed"), std::string::npos);

    TensorsPtr even = runtimetest::floatSet(6, "x", {4}, {1, 2, 3, 4});
    ASSERT_EQ(enqueue(0, even), 0);
    output = retrieve(model);
    ASSERT_NE(output, nullptr);
    ASSERT_EQ(output->count, 1);
    EXPECT_EQ(output->tensors[0].shape[0], 2);
    EXPECT_EQ(output->tensors[0].shape[1], 2);
}

TEST_F(CpuRuntimeTest, RetrieveWithNothingPendingTimesOut) {
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    int model = -1;
    int status = -1;
    EXPECT_EQ(retrieve(model, 20, &status), nullptr);
    EXPECT_EQ(status, kTimeout);
}

TEST_F(CpuRuntimeTest, FileThatIsNotOnnxFailsToLoadWithAnErrorText) {
    ScratchDir dir;
    runtimetest::writeText(dir.path / "model.onnx", "this is not a model\n");
    ASSERT_EQ(init(), 0);
    EXPECT_NE(load({(dir.path / "model.onnx").string()}), 0);
    const std::string error = runtime->getError();
    EXPECT_NE(error.find("cannot load model " + (dir.path / "model.onnx").string()), std::string::npos)
        << error;
    EXPECT_NE(load({(dir.path / "absent.onnx").string()}), 0);
    EXPECT_NE(std::string(runtime->getError()).find("absent.onnx"), std::string::npos);
}

TEST_F(CpuRuntimeTest, InvalidArgumentsFailInitialisationAndUnknownOnesAreIgnored) {
    EXPECT_NE(init({{"workers", "0"}}), 0);
    EXPECT_NE(std::string(runtime->getError()).find("'workers' must be an integer"), std::string::npos);
    EXPECT_NE(init({{"intra_op_threads", "two"}}), 0);
    EXPECT_NE(init({{"queue_capacity", "-3"}}), 0);
    EXPECT_EQ(init({{"colour", "blue"}, {"workers", "2"}}), 0) << runtime->getError();
    EXPECT_NE(init(), 0) << "a second initialisation without cleanup";
}

TEST_F(CpuRuntimeTest, CallsBeforeInitialisationOrWithUnknownModelsFail) {
    TensorsPtr request = addMulRequest(1, 1);
    EXPECT_NE(enqueue(0, request), 0);
    EXPECT_NE(load({"add_mul.onnx"}), 0);
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    EXPECT_NE(enqueue(1, request), 0);
    EXPECT_NE(enqueue(-1, request), 0);
    EXPECT_NE(std::string(runtime->getError()).find("no model with index -1"), std::string::npos);
    ASSERT_NE(request, nullptr);
}

TEST_F(CpuRuntimeTest, QueueRefusesRequestsBeyondItsCapacityUntilOutputsAreTaken) {
    ASSERT_EQ(init({{"queue_capacity", "2"}, {"workers", "1"}}), 0);
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    TensorsPtr first = addMulRequest(1, 1);
    TensorsPtr second = addMulRequest(2, 1);
    TensorsPtr third = addMulRequest(3, 1);
    ASSERT_EQ(enqueue(0, first), 0);
    ASSERT_EQ(enqueue(0, second), 0);
    EXPECT_NE(enqueue(0, third), 0);
    EXPECT_NE(std::string(runtime->getError()).find("queue is full"), std::string::npos);
    int model = -1;
    ASSERT_NE(retrieve(model), nullptr);
    EXPECT_EQ(enqueue(0, third), 0);
}

TEST_F(CpuRuntimeTest, CleanupDropsPendingWorkAndASecondInitialisationWorks) {
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    for (int i = 0; i < 5; ++i) {
        TensorsPtr request = addMulRequest(i, 1);
        ASSERT_EQ(enqueue(0, request), 0);
    }
    EXPECT_EQ(runtime->cleanup(), 0);
    ASSERT_EQ(init({{"workers", "2"}}), 0) << runtime->getError();
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    int model = -1;
    int status = -1;
    EXPECT_EQ(retrieve(model, 50, &status), nullptr) << "outputs of the earlier run must be gone";
    EXPECT_EQ(status, kTimeout);
    TensorsPtr request = addMulRequest(9, 2);
    ASSERT_EQ(enqueue(0, request), 0);
    TensorsPtr output = retrieve(model);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->id, 9);
    EXPECT_EQ(floatValues(output->tensors[1]), (std::vector<float>{12, 24, 36, 48}));
}

TEST_F(CpuRuntimeTest, ProcessEndingWithoutCleanupExitsNormally) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VekaiRuntime started((packageDir->path / "libRuntimeLibrary.so").string());
            Config config{};
            if (started.init(config) != 0) {
                std::_Exit(3);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(CpuRuntimeTest, ManyThreadsEnqueueWhileOneRetrievesEveryOutput) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 40;
    ASSERT_EQ(init({{"workers", "3"}, {"intra_op_threads", "1"}, {"queue_capacity", "1024"}}), 0);
    ASSERT_EQ(load({"add_mul.onnx"}), 0);
    std::vector<int> seen(kThreads * kPerThread, 0);
    std::atomic<int> mismatches{0};
    std::thread retriever([&] {
        for (int received = 0; received < kThreads * kPerThread;) {
            int model = -1;
            int status = -1;
            TensorsPtr output = retrieve(model, 10000, &status);
            if (status != 0 || output == nullptr || output->id < 0 || output->id >= kThreads * kPerThread) {
                mismatches.fetch_add(1);
                return;
            }
            // Request id i carried a = (1..4) * i.
            const std::vector<float> product = floatValues(output->tensors[0]);
            if (product != std::vector<float>{10.0f * output->id, 40.0f * output->id, 90.0f * output->id,
                                              160.0f * output->id}) {
                mismatches.fetch_add(1);
            }
            ++seen[output->id];
            ++received;
        }
    });
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const int id = t * kPerThread + i;
                TensorsPtr request = addMulRequest(id, static_cast<float>(id));
                if (runtime->enqueueInput(0, request.get()) == 0) {
                    (void)request.release();
                } else {
                    refused.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    retriever.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    for (int count : seen) {
        EXPECT_EQ(count, 1);
    }
}

}  // namespace
