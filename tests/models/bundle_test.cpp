#include <filesystem>
#include <fstream>

#include "platform/bundle/bundle.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::bundle::Bundle;
using quorvel::testing::addBundleFile;
using quorvel::testing::addBundleFolder;
using quorvel::testing::testBundlePath;

class BundleTest : public quorvel::testing::PlatformTest {};

TEST_F(BundleTest, FindsFilesAndFoldersByNameAndExtension) {
  const std::string weights = addBundleFile("weights.dat", "w");
  const std::string package = addBundleFolder("Model.mlpackage");
  auto& bundle = Bundle::main();
  EXPECT_EQ(bundle.bundlePath(), testBundlePath());
  EXPECT_EQ(bundle.resourcePath(), testBundlePath() + "/Resources");
  EXPECT_EQ(bundle.url("weights", "dat"), weights);
  EXPECT_EQ(bundle.path("weights", "dat"), weights);
  EXPECT_EQ(bundle.url("Model", "mlpackage"), package);
  EXPECT_EQ(bundle.url("weights.dat", ""), weights);  // the whole name without an extension
  // The extension must match exactly, and a name is not found by a prefix.
  EXPECT_FALSE(bundle.url("weights", "da"));
  EXPECT_FALSE(bundle.url("weights", "DAT"));
  EXPECT_FALSE(bundle.url("weight", "dat"));
  EXPECT_FALSE(bundle.url("Model", "mlmodelc"));
  EXPECT_FALSE(bundle.url("weights", ""));
}

TEST_F(BundleTest, NamesThatWouldLeaveTheResourcesFindNothing) {
  // A file beside Resources and one in a sub-folder: reachable only through path tricks.
  std::filesystem::create_directories(testBundlePath());
  { std::ofstream(testBundlePath() + "/secret.dat") << "s"; }
  addBundleFile("sub/inner.dat", "i");
  auto& bundle = Bundle::main();
  EXPECT_FALSE(bundle.url("../secret", "dat"));
  EXPECT_FALSE(bundle.url("sub/inner", "dat"));
  EXPECT_FALSE(bundle.url("..", ""));
  EXPECT_FALSE(bundle.url(".", ""));
  EXPECT_FALSE(bundle.url("", "dat"));
  EXPECT_FALSE(bundle.url("", ""));
  EXPECT_FALSE(bundle.url("secret", "dat/../../secret.dat"));
  // The sub-folder itself is a resource (a folder), but nothing inside it is reachable.
  EXPECT_TRUE(bundle.url("sub", ""));
}

TEST_F(BundleTest, AMissingBundleHasNoResourcesAndNoneInstalledIsTheOneBesideTheExecutable) {
  platform::bundle::install(std::make_shared<Bundle>(home() + "/nowhere/Quorvel.bundle/"));
  EXPECT_EQ(Bundle::main().bundlePath(), home() + "/nowhere/Quorvel.bundle");  // trailing slash dropped
  EXPECT_FALSE(Bundle::main().url("MiniFAS", "mlpackage"));

  platform::bundle::install(nullptr);
  // Test executables are built next to the application's executable, in the build folder.
  EXPECT_EQ(std::filesystem::path(platform::bundle::executableFolder()),
            std::filesystem::path(QUORVEL_BINARY_DIR));
  EXPECT_EQ(Bundle::main().bundlePath(), std::string(QUORVEL_BINARY_DIR) + "/Quorvel.bundle");
  EXPECT_EQ(Bundle::main().bundlePath(), quorvel::testing::builtBundlePath());
}

TEST_F(BundleTest, TheBuiltBundleCarriesTheShippedResourcesOfItsFlavour) {
  Bundle built(quorvel::testing::builtBundlePath());
  const auto package = built.url("MiniFAS", "mlpackage");
  ASSERT_TRUE(package) << "the build copies Resources/ into " << built.bundlePath();
  EXPECT_FALSE(built.url("MiniFAS", "mlmodelc"));  // the package alone: nothing tried before it
  for (const char* file : {"manifest.json", "2.7_80x80_MiniFASNetV2.onnx", "4_0_0_80x80_MiniFASNetV1SE.onnx",
                           "LICENSE.txt", "NOTICE"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(*package + "/" + file)) << file;
  }
  // The personal-use recognition model only in a developer bundle, with its licence.
  EXPECT_FALSE(built.url("VavozuDare", "mlmodelc"));
  const auto developer = built.url("VavozuDare", "mlpackage");
  ASSERT_EQ(developer.has_value(), bool(QUORVEL_DEVELOPER_BUILD)) << "run scripts/fetch-developer-model, then build";
  for (const char* file : {"fr_feature.onnx", "manifest.json", "LICENSE.txt", "NOTICE"}) {
    EXPECT_TRUE(!developer || std::filesystem::is_regular_file(*developer + "/" + file)) << file;
  }
}

}  // namespace
