// The udev rule that lets the logged-in user open the controller, made from
// the identifier table the link matches devices with.
#pragma once

#include <string>

namespace lumbra::packaging {

// A hidraw line and a usb line for every vendor and product pair the link
// accepts, lower-case hex, each tagging the device "uaccess".
std::string UdevRules();

}  // namespace lumbra::packaging
