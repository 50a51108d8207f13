// lumbra-demo: the firmware dialog on an emulated controller, for watching a
// whole download and verification without hardware.
#include "demo/demo_session.h"
#include "app/downloader_app.h"

int main(int argc, char* argv[]) {
  lumbra::app::DownloaderApp app(argc, argv);
  lumbra::app::DemoSession demo;
  const lumbra::app::DemoOptions options = lumbra::app::DemoOptionsFromEnvironment();
  return app.Run(demo.Platform(), [&](lumbra::app::FirmwareDialog& dialog) { demo.Attach(dialog, options); });
}
