// Handle types of the Windows build: the real Win32 types.
#pragma once

// winsock2.h must come before windows.h, and only the ws2 header family is used.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstdint>

using PlatformSocket = SOCKET;
constexpr PlatformSocket kPlatformInvalidSocket = INVALID_SOCKET;

using PlatformThread = HANDLE;

using PlatformLResult = LRESULT;
using PlatformWParam = WPARAM;
using PlatformLParam = LPARAM;

using PlatformWindow = HWND;
using PlatformInstance = HINSTANCE;
using PlatformIcon = HICON;

#define PLATFORM_CALLBACK CALLBACK

using PlatformWndProc = WNDPROC;

#define PLATFORM_EXPORT extern "C" __declspec(dllexport)
