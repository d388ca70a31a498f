// The system socket headers of this platform, for code shared by both platform trees
// (platform_types.h already brings winsock2.h and ws2tcpip.h, which defines socklen_t).
#pragma once

#include "platform_types.h"
