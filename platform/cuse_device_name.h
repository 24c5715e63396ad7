#pragma once
// How a port's character device is named, shared by the program and the keying-port helper.
#include <string>

namespace qx {

// The character device name of a port name: "COM5" -> "qx-COM5".
inline std::string CuseDeviceName(const std::string& portName) { return "qx-" + portName; }

}  // namespace qx
