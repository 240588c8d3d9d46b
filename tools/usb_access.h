// Why an attached board cannot be used: the USB bridges the bus lists that this user may not open
// or that another program holds. The library reports only "no board"; the tool tells the user
// what to fix.
#pragma once

#include <string>

namespace tool {

// A sentence for each bridge that is there but cannot be had (empty when there is none).
std::string usb_access_problems();

}  // namespace tool
