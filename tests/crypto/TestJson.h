#pragma once

#include <string>
#include <vector>

namespace kl::test {

// Just enough JSON to read the Wycheproof vector files in tests/data.
struct JsonValue {
  enum Kind { Null, Bool, Number, Text, Array, Object };
  Kind Type = Null;
  bool Boolean = false;
  double NumberValue = 0;
  std::string String;
  std::vector<JsonValue> Items;
  std::vector<std::string> Names; // of the object's members, in order
  std::vector<JsonValue> Members;

  // Member by name; throws std::out_of_range when it is missing.
  const JsonValue& operator[](const std::string& Name) const;
  bool Has(const std::string& Name) const;
  int Int() const { return static_cast<int>(NumberValue); }
};

// Parses a file of tests/data; throws std::runtime_error on malformed input.
JsonValue ReadJsonFile(const std::string& Name);

} // namespace kl::test
