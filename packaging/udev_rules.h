// The udev rule that lets the logged-in user open the controller, and the
// AppStream lines that announce the same hardware to software centres, both
// made from the identifier table the link matches devices with.
#pragma once

#include <string>

namespace lumbra::packaging {

// A hidraw line and a usb line for every vendor and product pair the link
// accepts, lower-case hex, each tagging the device "uaccess".
std::string UdevRules();

// A <modalias> line for every accepted pair, upper-case hex as the kernel
// writes USB modaliases ("usb:v4242pC003d*"), indented for <provides>.
std::string AppStreamModaliases();

}  // namespace lumbra::packaging
