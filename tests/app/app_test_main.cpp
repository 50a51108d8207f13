// The tests run inside the tool's own application object, so the message
// boxes' caption is derived from this executable's name: "test_app".
#include <gtest/gtest.h>

#include "app/downloader_app.h"

int main(int argc, char** argv) {
  // Test discovery runs this program without the tests' environment.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  lumbra::app::DownloaderApp app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
