// The TLS engine on Windows: SChannel through SSPI, on buffers only. The camera's certificate is
// judged once the handshake is complete, before the engine hands out a single byte of data, so no
// request goes out to a key the check refuses.
#include <windows.h>
// After windows.h, which they need.
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/text.h"
#include "transport/tls_engine.h"

namespace korvalt {
namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

class CSchannelEngine final : public CTlsEngine {
 public:
  explicit CSchannelEngine(Web::TLS_KEY_CHECK& check) : Check(check) {}

  ~CSchannelEngine() override {
    if (HaveContext) ::DeleteSecurityContext(&Context);
    if (HaveCredentials) ::FreeCredentialsHandle(&Credentials);
  }

  bool Init(const std::string& serverName) {
    SCHANNEL_CRED credentials = {};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    // The key is judged by our check, not the system's store; no client certificate is offered.
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    wchar_t package[] = UNISP_NAME_W;
    if (::AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &credentials, nullptr,
                                    nullptr, &Credentials, nullptr) != SEC_E_OK)
      return false;
    HaveCredentials = true;
    Target = platform::Utf8ToWide(serverName);
    return true;
  }

  Status Handshake(std::string& in, std::string& out) override {
    if (Done) return Status::kOk;
    for (;;) {
      SecBuffer input[2] = {};
      input[0].BufferType = SECBUFFER_TOKEN;
      input[0].pvBuffer = in.data();
      input[0].cbBuffer = static_cast<unsigned long>(in.size());
      input[1].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
      SecBuffer output[1] = {};
      output[0].BufferType = SECBUFFER_TOKEN;
      SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
      unsigned long attributes = 0;
      if (HaveContext && in.empty()) return Status::kNeedMore;
      // SChannel would wait for the rest of a "record" as long as any first bytes announce; a reply
      // that is no TLS at all (a plain RTSP answer) fails at once instead.
      if (!in.empty() && !LooksLikeRecord(in)) return Status::kFailed;
      const SECURITY_STATUS status = ::InitializeSecurityContextW(
          &Credentials, HaveContext ? &Context : nullptr, Target.empty() ? nullptr : Target.data(),
          kContextFlags, 0, 0, HaveContext ? &inputDesc : nullptr, 0, HaveContext ? nullptr : &Context,
          &outputDesc, &attributes, nullptr);
      HaveContext = true;
      if (output[0].pvBuffer != nullptr) {
        out.append(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer);
        ::FreeContextBuffer(output[0].pvBuffer);
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Status::kNeedMore;
      KeepExtra(in, input[1]);
      if (status == SEC_E_OK) return Finish();
      if (status != SEC_I_CONTINUE_NEEDED) return Status::kFailed;
      if (in.empty()) return Status::kNeedMore;
    }
  }

  bool Encrypt(std::span<const uint8_t> data, std::string& out) override {
    if (!Done) return false;
    while (!data.empty()) {
      const size_t take = std::min<size_t>(data.size(), Sizes.cbMaximumMessage);
      std::vector<char> record(Sizes.cbHeader + take + Sizes.cbTrailer);
      std::memcpy(record.data() + Sizes.cbHeader, data.data(), take);
      SecBuffer buffers[4] = {};
      buffers[0] = {Sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
      buffers[1] = {static_cast<unsigned long>(take), SECBUFFER_DATA, record.data() + Sizes.cbHeader};
      buffers[2] = {Sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + Sizes.cbHeader + take};
      buffers[3].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      if (::EncryptMessage(&Context, 0, &desc, 0) != SEC_E_OK) return false;
      out.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      data = data.subspan(take);
    }
    return true;
  }

  Status Decrypt(std::string& in, std::string& plain, std::string& out) override {
    if (!Done) return Status::kFailed;
    bool produced = false;
    while (!in.empty()) {
      SecBuffer buffers[4] = {};
      buffers[0] = {static_cast<unsigned long>(in.size()), SECBUFFER_DATA, in.data()};
      for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = ::DecryptMessage(&Context, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status == SEC_I_CONTEXT_EXPIRED) return Status::kClosed;
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return Status::kFailed;
      // The record was decrypted in place: its data is copied out before in changes.
      SecBuffer* extra = nullptr;
      for (SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          produced = true;
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
          extra = &buffer;
        }
      }
      KeepExtra(in, extra != nullptr ? *extra : SecBuffer{0, SECBUFFER_EMPTY, nullptr});
      if (status == SEC_I_RENEGOTIATE) {
        // Post-handshake messages (TLS 1.3 tickets, key updates) go back through the handshake.
        Done = false;
        const Status step = Handshake(in, out);
        if (step != Status::kOk) return step == Status::kNeedMore && produced ? Status::kOk : step;
      }
    }
    return produced ? Status::kOk : Status::kNeedMore;
  }

 private:
  // A TLS record starts with its content type (20 to 23) and major version 3.
  static bool LooksLikeRecord(const std::string& in) {
    constexpr uint8_t kFirstType = 20;
    constexpr uint8_t kLastType = 23;
    constexpr uint8_t kMajorVersion = 3;
    const auto type = static_cast<uint8_t>(in[0]);
    return type >= kFirstType && type <= kLastType &&
           (in.size() < 2 || static_cast<uint8_t>(in[1]) == kMajorVersion);
  }

  // What the last call left unread stays at the front of in; the rest was used.
  static void KeepExtra(std::string& in, const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in.size()) {
      in.erase(0, in.size() - extra.cbBuffer);
    } else {
      in.clear();
    }
  }

  Status Finish() {
    // Judged at every completion: a renegotiation may present another certificate.
    PCCERT_CONTEXT certificate = nullptr;
    if (::QueryContextAttributesW(&Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == nullptr)
      return Status::kFailed;
    const bool accepted = Web::CheckPresentedKey(const_cast<CERT_CONTEXT*>(certificate), Check);
    ::CertFreeCertificateContext(certificate);
    if (!accepted) return Status::kFailed;
    if (::QueryContextAttributesW(&Context, SECPKG_ATTR_STREAM_SIZES, &Sizes) != SEC_E_OK)
      return Status::kFailed;
    Done = true;
    return Status::kOk;
  }

  Web::TLS_KEY_CHECK& Check;
  CredHandle Credentials = {};
  CtxtHandle Context = {};
  bool HaveCredentials = false;
  bool HaveContext = false;
  bool Done = false;
  SecPkgContext_StreamSizes Sizes = {};
  std::wstring Target;
};

}  // namespace

std::unique_ptr<CTlsEngine> CTlsEngine::Create(const std::string& serverName, Web::TLS_KEY_CHECK& check) {
  auto engine = std::make_unique<CSchannelEngine>(check);
  if (!engine->Init(serverName)) return nullptr;
  return engine;
}

}  // namespace korvalt
