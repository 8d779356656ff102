#pragma once
// One libcurl easy handle for camctl's probes: HTTP requests, or an RTSP session whose requests
// share its connection. Every Perform is bounded by the time-out given to Prepare.

#include <curl/curl.h>

#include <chrono>
#include <string>

#include "tools/camctl/camera_probe.h"

namespace camctl {

class CurlExchange {
 public:
  CurlExchange();
  ~CurlExchange();
  CurlExchange(const CurlExchange&) = delete;
  CurlExchange& operator=(const CurlExchange&) = delete;

  bool Valid() const { return Curl != nullptr; }
  CURL* Handle() { return Curl; }
  // URL and time-out (connecting included) of the next Perform.
  void Prepare(const std::string& url, std::chrono::milliseconds timeout);
  // Basic or Digest, whichever the peer asks for.
  void SetCredentials(const std::string& user, const std::string& password);
  ProbeAnswer Perform();

 private:
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);

  CURL* Curl = nullptr;
  ProbeAnswer Current;  // filled by the callbacks during Perform
  char ErrorText[CURL_ERROR_SIZE] = {};
};

}  // namespace camctl
