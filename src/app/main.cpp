// lumbra: writes the built-in firmware into a Quorvex controller on USB.
#include "app/downloader_app.h"
#include "link/hidapi_platform.h"

int main(int argc, char* argv[]) {
  lumbra::app::DownloaderApp app(argc, argv);
  lumbra::link::HidapiPlatform controllers;
  return app.Run(controllers);
}
