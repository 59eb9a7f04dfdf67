#include <gtest/gtest.h>

#include <functional>

#include "accl_manager/runtime_package.h"
#include "fake_machine.h"
#include "tar_builder.h"

namespace {

using acceltest::ScratchDir;
using acceltest::TarBuilder;

struct PackageCase {
    const char* name;
    std::function<TarBuilder()> build;
    bool safe;
    std::string reason;  // a part of the refusal
};

const std::string kLongDirectory(120, 'd');

const PackageCase kCases[] = {
    {"ordinary package",
     [] {
         return TarBuilder()
             .directory("./")
             .directory("./lib/")
             .file("./libRuntimeLibrary.so", "library")
             .file("lib/libhelper.so.1", "helper")
             .symlink("lib/libhelper.so", "libhelper.so.1")
             .symlink("lib/up", "../libRuntimeLibrary.so")
             .symlink("same", "./lib/./libhelper.so.1")
             .hardlink("copy.so", "./lib/libhelper.so.1");
     },
     true, ""},
    {"long names and extended headers inside",
     [] {
         return TarBuilder()
             .longName(kLongDirectory + "/file")
             .file("truncated-name", "x")
             .pax('x', "path", kLongDirectory + "/other")
             .file("short", "y")
             .directory("lib")
             .pax('x', "linkpath", "../short")
             .symlink("lib/link", "ignored")
             .prefixed("models/onnx", "model.bin", "z");
     },
     true, ""},
    {"absolute member", [] { return TarBuilder().file("/etc/cron.d/evil", "x"); }, false,
     "outside the install folder"},
    {"climbing member", [] { return TarBuilder().file("../evil", "x"); }, false,
     "outside the install folder"},
    {"climbing inside a path", [] { return TarBuilder().file("lib/../../evil", "x"); }, false, "outside"},
    {"climbing but staying inside", [] { return TarBuilder().file("lib/../x", "x"); }, false, "outside"},
    {"absolute link", [] { return TarBuilder().symlink("etc", "/etc"); }, false, "points outside"},
    {"link climbing out", [] { return TarBuilder().directory("lib").symlink("lib/out", "../../etc"); }, false,
     "points outside"},
    {"link climbing out from the top", [] { return TarBuilder().symlink("out", ".."); }, false,
     "points outside"},
    {"link through a link to the top",
     [] { return TarBuilder().symlink("here", ".").symlink("out", "here/.."); }, false,
     "through another link"},
    {"empty link", [] { return TarBuilder().symlink("nothing", ""); }, false, "points outside"},
    {"member written through a link",
     [] { return TarBuilder().directory("sub").symlink("lib", "sub").file("lib/evil", "x"); }, false,
     "through the link lib"},
    {"member written through a link declared later",
     [] { return TarBuilder().directory("sub").file("d/x", "x").symlink("d", "sub"); }, false,
     "through the link d"},
    {"absolute hard link", [] { return TarBuilder().hardlink("passwd", "/etc/passwd"); }, false,
     "points outside"},
    {"climbing hard link", [] { return TarBuilder().hardlink("x", "../x"); }, false, "points outside"},
    {"device node", [] { return TarBuilder().member("dev/sda", '3', ""); }, false, "neither a file"},
    {"fifo", [] { return TarBuilder().member("pipe", '6', ""); }, false, "neither a file"},
    {"extended header renaming a harmless member",
     [] { return TarBuilder().pax('x', "path", "../evil").file("harmless", "x"); }, false, "outside"},
    {"long name renaming a harmless member",
     [] { return TarBuilder().longName("../../evil").file("harmless", "x"); }, false, "outside"},
    {"global header renaming members", [] { return TarBuilder().pax('g', "path", "x").file("a", "x"); },
     false, "not supported"},
    {"sparse file", [] { return TarBuilder().pax('x', "GNU.sparse.name", "x").file("a", "x"); }, false,
     "not supported"},
};

void PrintTo(const PackageCase& c, std::ostream* out) {
    *out << c.name;
}

class PackageInspection : public ::testing::TestWithParam<PackageCase> {};

TEST_P(PackageInspection, RefusesMembersThatReachOutsideTheFolder) {
    const auto& c = GetParam();
    ScratchDir dir;
    const auto package = dir.path / "package.tar.gz";
    c.build().writeGzip(package);
    const auto verdict = inspectRuntimePackage(package.string(), (dir.path / "install").string());
    EXPECT_EQ(verdict.safe, c.safe) << verdict.reason;
    if (c.safe) {
        EXPECT_EQ(verdict.reason, "");
    } else {
        EXPECT_NE(verdict.reason.find(c.reason), std::string::npos) << verdict.reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageInspection, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PackageCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

TEST(PackageInspectionOnDisk, ALinkLeftInTheFolderIsNotFollowed) {
    ScratchDir dir;
    const auto install = dir.path / "install";
    std::filesystem::create_directories(install);
    std::filesystem::create_directory_symlink("/tmp", install / "old");
    const auto package = dir.path / "package.tar.gz";
    TarBuilder().file("old/evil", "x").writeGzip(package);
    const auto verdict = inspectRuntimePackage(package.string(), install.string());
    EXPECT_FALSE(verdict.safe);
    EXPECT_NE(verdict.reason.find("through the link old"), std::string::npos) << verdict.reason;

    TarBuilder().symlink("new", "old/..").writeGzip(package);
    EXPECT_FALSE(inspectRuntimePackage(package.string(), install.string()).safe);
}

TEST(PackageInspectionOnDisk, DamagedOrForeignFilesAreRefused) {
    ScratchDir dir;
    const auto install = dir.path / "install";
    const auto package = dir.path / "package.tar.gz";

    EXPECT_FALSE(inspectRuntimePackage((dir.path / "missing.tar.gz").string(), install.string()).safe);

    acceltest::writeText(package, "");
    EXPECT_FALSE(inspectRuntimePackage(package.string(), install.string()).safe);

    acceltest::writeText(package, TarBuilder().file("a", "x").archive());
    auto verdict = inspectRuntimePackage(package.string(), install.string());
    EXPECT_FALSE(verdict.safe);
    EXPECT_NE(verdict.reason.find("gzip"), std::string::npos) << verdict.reason;

    std::string damaged = TarBuilder().file("a", "x").archive();
    damaged[10] = 'Z';
    TarBuilder::gzipTo(damaged, package);
    verdict = inspectRuntimePackage(package.string(), install.string());
    EXPECT_FALSE(verdict.safe);
    EXPECT_NE(verdict.reason.find("damaged"), std::string::npos) << verdict.reason;

    const std::string whole = TarBuilder().file("a", std::string(5000, 'x')).archive();
    TarBuilder::gzipTo(whole.substr(0, 2048), package);
    verdict = inspectRuntimePackage(package.string(), install.string());
    EXPECT_FALSE(verdict.safe);
    EXPECT_NE(verdict.reason.find("truncated"), std::string::npos) << verdict.reason;

    TarBuilder().file("a", std::string(100000, 'x')).writeGzip(package);
    const std::string compressed = acceltest::readText(package);
    acceltest::writeText(package, compressed.substr(0, compressed.size() / 2));
    EXPECT_FALSE(inspectRuntimePackage(package.string(), install.string()).safe);
}

// Archives written by the system's tar, in its GNU and POSIX layouts, read as the tar that
// unpacks them reads them.
TEST(PackageInspectionOnDisk, ArchivesOfTheSystemTar) {
    ScratchDir dir;
    const auto staging = dir.path / "staging";
    const auto deep = staging / std::string(90, 'a') / std::string(90, 'b');
    acceltest::writeText(deep / "libRuntimeLibrary.so", "library");
    std::filesystem::create_symlink("libRuntimeLibrary.so", deep / "alias.so");
    for (const char* format : {"gnu", "posix"}) {
        const auto package = dir.path / (std::string(format) + ".tar.gz");
        const auto [status, output] =
            Utils::runShellCommand("tar -czf " + Utils::shellQuote(package.string()) + " -H " + format +
                                   " -C " + Utils::shellQuote(staging.string()) + " .");
        ASSERT_EQ(status, 0) << output;
        const auto verdict = inspectRuntimePackage(package.string(), (dir.path / "install").string());
        EXPECT_TRUE(verdict.safe) << format << ": " << verdict.reason;
    }

    const auto absolute = dir.path / "absolute.tar.gz";
    ASSERT_EQ(
        Utils::runShellCommand("tar -czPf " + Utils::shellQuote(absolute.string()) + " " +
                               Utils::shellQuote((deep / "libRuntimeLibrary.so").string()) + " 2>/dev/null")
            .first,
        0);
    EXPECT_FALSE(inspectRuntimePackage(absolute.string(), (dir.path / "install").string()).safe);
}

}  // namespace
