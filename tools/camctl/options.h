#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace camctl {

// "--name value" and "--flag" options of one subcommand. Repeated options keep every value.
class Options {
 public:
  // flags: options that take no value. With arguments allowed, words that are not options are kept
  // in order (everything after a lone "--" too); otherwise they are an error. Returns false with
  // error set on a malformed line.
  bool Parse(int argc, char** argv, int first, const std::vector<std::string>& flags, std::string& error,
             bool allowArguments = false);

  bool Has(const std::string& name) const { return Values.count(name) > 0; }
  std::string Get(const std::string& name, const std::string& fallback = {}) const;
  // Integer value; error set when the text is not a number.
  long GetInt(const std::string& name, long fallback, std::string& error) const;
  std::vector<std::string> All(const std::string& name) const;
  // Names given that are not in known.
  std::vector<std::string> Unknown(const std::vector<std::string>& known) const;
  // Words that are not options, in order.
  const std::vector<std::string>& Arguments() const { return Words; }

 private:
  std::map<std::string, std::vector<std::string>> Values;
  std::vector<std::string> Words;
};

// The kCodecType* value of "mjpeg", "mpeg4" or "h264"; nullopt for an unknown name.
std::optional<int> CodecType(const std::string& name);

}  // namespace camctl
