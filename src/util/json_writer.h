// A small streaming JSON writer for the --json outputs of the command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  template <typename T>
  JsonWriter& Field(std::string_view key, const T& value) {
    Key(key);
    if constexpr (std::is_same_v<T, bool>)
      return Bool(value);
    else if constexpr (std::is_arithmetic_v<T>)
      return Number(static_cast<uint64_t>(value));
    else
      return String(value);
  }

  const std::string& Text() const { return out_; }

 private:
  void Separate();
  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace torvane
