#pragma once
// The system's socket declarations (sockaddr_in, htons, inet_pton, getaddrinfo, POLLIN, ...).
// Included through platform/socket.h only.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
