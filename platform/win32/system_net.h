#pragma once
// The system's socket declarations (sockaddr_in, htons, inet_pton, getaddrinfo, POLLIN, ...).
// Included through platform/socket.h only.

#include <winsock2.h>
#include <ws2tcpip.h>
