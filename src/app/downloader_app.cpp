#include "app/downloader_app.h"

#include "app/firmware_dialog.h"

namespace lumbra::app {

DownloaderApp::DownloaderApp(int& argc, char** argv) : QApplication(argc, argv) {}

int DownloaderApp::Run(link::HidPlatform& platform,
                       const std::function<void(FirmwareDialog&)>& prepare) {
  FirmwareDialog dialog(platform);
  if (prepare) prepare(dialog);
  // How the dialog ended (only ever by its close command) does not matter.
  dialog.exec();
  return 0;
}

}  // namespace lumbra::app
