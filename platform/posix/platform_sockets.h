// The system socket headers of this platform, for code shared by both platform trees.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
