// Requests to the router's flash device driver.
#pragma once

#include <cstdint>

namespace velmara {

// The lowest system version the board can run; 0 when the device or the request is missing.
uint32_t readBoardMinimumVersion();

}  // namespace velmara
