#pragma once

// The Berkeley socket names the portable name and address code uses (getaddrinfo, inet_pton,
// inet_ntop, ntohl): Winsock's on Windows, the BSD headers elsewhere.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
