// Every operating-system service the server uses, declared once. platform/posix/ and
// platform/win32/ define the same names; CMake compiles exactly one of the two trees, so no
// subsystem ever tests which platform it runs on.
//
// Conventions: addresses are IPv4 in network byte order (uint32_t), ports in host order.
// Functions return 0 on success and -1 on failure unless their comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform_types.h"

// ---------------------------------------------------------------------------------------------
// Threads and time
// ---------------------------------------------------------------------------------------------

using PlatformThreadBody = void (*)(void* arg);

// Starts `body(arg)` on a new thread. On success stores the handle in *thread and returns 0;
// the handle must later be given to platformThreadJoin or platformThreadDetach. Never aborts:
// a failure (no resources) returns -1 and starts nothing.
int platformThreadStart(PlatformThread* thread, PlatformThreadBody body, void* arg);

// Starts a thread nobody waits for. Returns -1 (and starts nothing) on failure.
int platformThreadStartDetached(PlatformThreadBody body, void* arg);

// Waits until the thread has ended and releases its handle.
void platformThreadJoin(PlatformThread thread);

// Releases the handle of a running thread without waiting for it.
void platformThreadDetach(PlatformThread thread);

void platformSleepMs(uint32_t ms);

// Milliseconds since the machine started, wrapping at 2^32 (GetTickCount semantics).
uint32_t platformTickMs();

// Processors the system has online; at least 1.
int platformCpuCount();

// Fills `out` with `length` bytes from the system's cryptographic random source (identifiers
// that a peer must not be able to guess). Returns 0, or -1 when the source failed; `out` is
// then unusable.
int platformRandomBytes(void* out, size_t length);

// Threads started by platformThreadStart or platformThreadStartDetached whose body has not yet
// returned. Any thread may call it.
int platformThreadsRunning();

// Keeps the module that holds this code loaded until the process ends, so threads still
// running in it never find their code unmapped when the host unloads it. Returns 0 on success.
int platformPinModule();

// ---------------------------------------------------------------------------------------------
// Host window, tray icon and icons
// ---------------------------------------------------------------------------------------------

// Puts `proc` in front of the window's procedure and returns the previous one
// (SetWindowLong with GWL_WNDPROC). Returns nullptr when the window is invalid.
PlatformWndProc platformWindowSetProc(PlatformWindow window, PlatformWndProc proc);

// Hands a message on to a window procedure (CallWindowProc).
PlatformLResult platformWindowCallProc(PlatformWndProc proc, PlatformWindow window, uint32_t msg,
                                       PlatformWParam wParam, PlatformLParam lParam);

// Sends a message to the window and returns its result (SendMessage).
PlatformLResult platformWindowSendMessage(PlatformWindow window, uint32_t msg,
                                          PlatformWParam wParam, PlatformLParam lParam);

// Loads icon resource `resourceId` of the module; nullptr when absent.
PlatformIcon platformLoadIcon(PlatformInstance instance, int resourceId);

// Shell notification icon: add (message, icon and tip) or delete by owner window and id.
// The POSIX stand-in prints "tray: <tip>" on standard output for each add.
int platformTrayAdd(PlatformWindow owner, uint32_t id, uint32_t callbackMessage, PlatformIcon icon,
                    const char* tip);
int platformTrayDelete(PlatformWindow owner, uint32_t id);

// ---------------------------------------------------------------------------------------------
// Settings files (private-profile INI semantics: section and key names compare without regard
// to case; a missing key yields the default; a write creates file, section or key as needed and
// keeps everything else in the file).
// ---------------------------------------------------------------------------------------------

int platformIniReadInt(const char* section, const char* key, int defaultValue, const char* path);

// Copies the value (or the default) into out, cut to size-1 characters and terminated.
// Returns the number of characters copied.
int platformIniReadString(const char* section, const char* key, const char* defaultValue, char* out,
                          int size, const char* path);

int platformIniWriteString(const char* section, const char* key, const char* value,
                           const char* path);

// ---------------------------------------------------------------------------------------------
// Files and the host program
// ---------------------------------------------------------------------------------------------

// The folder separator of this platform's paths ('\\' on Windows, '/' on POSIX).
extern const char platformPathSeparator;

// How the host's own texts (its settings file, the playlists it keeps) are encoded: the host's
// code page, Windows-1252, on Windows; UTF-8 elsewhere.
enum class PlatformTextEncoding { Windows1252, Utf8 };
extern const PlatformTextEncoding platformHostTextEncoding;

// Full path of the running host executable (GetModuleFileName of no module). Returns its
// length, or 0 when it cannot be found or does not fit in `size` bytes.
int platformHostProgramPath(char* out, int size);

// Whether a path is absolute on this platform (on Windows: begins with '\' or has ':' second).
bool platformPathIsAbsolute(const char* path);

// File status with full-precision modification time. Returns 0 when the file exists.
struct PlatformFileStatus {
    int64_t size;
    int64_t modifiedNs; // nanoseconds since an arbitrary epoch; compare for equality only
    // The file may also change under another folder's name (a symbolic link, or a file with
    // several names), which a watch on its own folder does not report.
    bool linked;
};
int platformFileStatus(const char* path, PlatformFileStatus* status);

// The status of several files of one folder, each named by its name alone: no walk of the
// folder's path per file (on Windows, one listing of the folder gives them all). `folder`
// ends with its separator ("C:\\Music\\" or "/music/"). found[i] tells whether names[i]
// exists, and statuses[i] is then filled, with the values platformFileStatus gives. Returns
// -1, having filled nothing, when the folder cannot be opened.
int platformFolderFileStatus(const char* folder, const char* const* names, int32_t count,
                             PlatformFileStatus* statuses, bool* found);

// A set of folders watched for changes to the files in them, so that a folder that saw no
// change need not have its files' status asked again. Where the system offers no such watch
// (Windows here), open returns nullptr and every folder is simply asked each time.
struct PlatformFolderWatch;
PlatformFolderWatch* platformFolderWatchOpen();
void platformFolderWatchClose(PlatformFolderWatch* watch);
// Starts watching `folder` for files created, removed, renamed, written or given a new status.
// Returns the folder's watch number (> 0), or 0 when it is not watched: the folder cannot be
// opened, the system's limit is reached, or it lies on a network or user-space file system,
// whose remote changes a watch does not see.
int32_t platformFolderWatchAdd(PlatformFolderWatch* watch, const char* folder);
// Reports, through seen(context, number), each watched folder that saw a change since the last
// call, without waiting. Returns 0, or -1 when changes may have been lost (the system's queue
// overflowed, a watched folder was removed or moved, or reading failed): the caller then takes
// every folder as changed and opens a new set.
int platformFolderWatchChanges(PlatformFolderWatch* watch, void (*seen)(void*, int32_t),
                               void* context);

// Hands memory that the heap holds free back to the system (after a large structure was
// freed, so that its pages do not stay resident).
void platformReleaseFreeMemory();

// ---------------------------------------------------------------------------------------------
// Network: identity and addresses
// ---------------------------------------------------------------------------------------------

// The machine's host name (gethostname). Returns 0 on success.
int platformHostName(char* out, int size);

// The addresses the server serves, in the system's order, at most `max`. On Windows those the
// host's own name resolves to; on POSIX the IPv4 addresses of the interfaces that are up,
// loopback excluded, or 127.0.0.1 when there is no other. Returns how many were stored
// (0 when the lookup failed).
int platformOwnAddresses(uint32_t* out, int max);

// Netmask of the local interface that holds `address` (network order); 0xFFFFFFFF when unknown.
uint32_t platformNetmaskOf(uint32_t address);

// Resolves a host name or dotted-decimal text to its first IPv4 address. Returns 0 on success.
int platformResolveIpv4(const char* host, uint32_t* address);

// First network adapter that has a hardware address, in the system's order: a stable GUID-like
// name in braces ("{XXXXXXXX-XXXX-...}") and its hardware address. Returns 0 on success.
struct PlatformAdapter {
    char name[260];
    uint8_t hardwareAddress[8];
    int hardwareLength;
};
int platformFirstAdapter(PlatformAdapter* adapter);

// Waits until the machine's IPv4 address table changes, for at most timeoutMs.
// Returns 1 on a change, 0 on time-out, -1 on error (the caller then sleeps and tries again).
int platformWaitAddressChange(uint32_t timeoutMs);

// ---------------------------------------------------------------------------------------------
// Network: sockets (Windows Sockets subset)
// ---------------------------------------------------------------------------------------------

struct Ipv4Endpoint {
    uint32_t address; // network byte order
    uint16_t port;    // host byte order
};

// Dotted-decimal text of an address; out must hold 16 bytes. Returns out.
char* platformAddressText(uint32_t address, char* out);

// WSAStartup(1.1) / WSACleanup; no-ops on POSIX. Startup returns 0 on success.
int platformNetStartup();
void platformNetCleanup();

// New TCP or UDP socket, or kPlatformInvalidSocket.
PlatformSocket platformSocketTcp();
PlatformSocket platformSocketUdp();

// Closes the socket. Any thread blocked in accept/recv/recvfrom on it returns with an error
// (POSIX shuts the socket down before closing it, so a blocked call wakes as on Windows).
void platformSocketClose(PlatformSocket socket);

// Closes a socket that no other thread is blocked on or may shut down: the close alone, without
// the shutdown that platformSocketClose adds on POSIX.
void platformSocketRelease(PlatformSocket socket);

// Ends both directions of a connection without releasing the socket: a thread blocked in send
// or recv on it returns with an error, and its owner still closes it.
void platformSocketShutdown(PlatformSocket socket);

int platformSocketBind(PlatformSocket socket, uint32_t address, uint16_t port);
int platformSocketListen(PlatformSocket socket, int backlog);

// Accepts one connection; kPlatformInvalidSocket on failure (a closed listener, say; the
// listener's receive time-out does not end the wait). The connection starts with the listener's
// receive and send time-outs. Several threads may wait in accept on one listener; each
// connection goes to one of them. `peer` may be nullptr.
PlatformSocket platformSocketAccept(PlatformSocket socket, Ipv4Endpoint* peer);

// Connects, giving up after timeoutMs. Returns 0 when connected.
int platformSocketConnect(PlatformSocket socket, uint32_t address, uint16_t port,
                          uint32_t timeoutMs);
// The same, also giving up as soon as `cancelled()` returns true (asked every 50 ms), so that
// another thread can end a connect to a host that never answers.
int platformSocketConnectUnless(PlatformSocket socket, uint32_t address, uint16_t port,
                                uint32_t timeoutMs, bool (*cancelled)());

// One send/recv call each: bytes moved, 0 on an orderly close (recv), -1 on error or time-out.
// send never raises SIGPIPE.
int platformSocketSend(PlatformSocket socket, const void* data, int length);
int platformSocketRecv(PlatformSocket socket, void* buffer, int length);

int platformSocketSendTo(PlatformSocket socket, const void* data, int length,
                         const Ipv4Endpoint* to);

// Local and peer names of a bound or connected socket.
int platformSocketLocalName(PlatformSocket socket, Ipv4Endpoint* local);
int platformSocketPeerName(PlatformSocket socket, Ipv4Endpoint* peer);

// Socket options. Time-outs of 0 mean none.
int platformSocketSetReuseAddress(PlatformSocket socket);
int platformSocketSetTimeouts(PlatformSocket socket, uint32_t recvMs, uint32_t sendMs);
int platformSocketSetMulticastTtl(PlatformSocket socket, int ttl);
int platformSocketSetMulticastInterface(PlatformSocket socket, uint32_t address);

// SSDP receive socket for one served address: receives datagrams for `group`:`port` that reach
// the machine through the interface holding `address`, and unicast datagrams sent to
// `address`:`port`. Returns kPlatformInvalidSocket when any step fails.
PlatformSocket platformSsdpSocketOpen(uint32_t address, uint32_t group, uint16_t port);

// Receives one datagram from an SSDP socket, skipping datagrams that arrived for another served
// address. Returns the byte count; -1 on error, on a closed socket, or when the datagram was
// longer than `length` (it is then discarded, as Windows does).
int platformSsdpSocketRecv(PlatformSocket socket, char* buffer, int length, Ipv4Endpoint* from);
