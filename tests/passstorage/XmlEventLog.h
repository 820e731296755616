#pragma once

// What a reader of XML reports, written down one way for the fast scanner
// and for expat, so that the two can be compared byte for byte: each start
// with its attributes in order, each end, and the text between markup joined
// into one (either reader may hand a text over in pieces). Used by the tests
// and the fuzzer.

#include <expat.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "passstorage/KdbxXmlScan.h"

namespace kl::test {

class TXmlEventLog final : public detail::TXmlScanSink {
public:
  std::string Events;

  void Start(std::string_view Name, std::span<const detail::TXmlScanAttribute> Attributes) override {
    Flush();
    Add('S', Name);
    for (const auto& [key, value] : Attributes) {
      Add('A', key);
      Add('=', value);
    }
  }
  void End() override {
    Flush();
    Events += 'E';
  }
  void Text(std::string_view Text) override { FText += Text; }
  void Flush() {
    if (!FText.empty()) Add('T', FText);
    FText.clear();
  }

private:
  void Add(char Kind, std::string_view Text) {
    Events += Kind;
    Events += std::to_string(Text.size());
    Events += ':';
    Events += Text;
  }
  std::string FText;
};

// The scanner's log of Xml fed in pieces of Piece bytes; false where it gave up.
inline bool ScanXml(std::string_view Xml, std::size_t Piece, std::string& Events) {
  TXmlEventLog log;
  detail::TKdbxXmlScanner scanner(log);
  bool read = true;
  for (std::size_t at = 0; read && at < Xml.size(); at += Piece) {
    read = scanner.Feed(Xml.data() + at, std::min(Piece, Xml.size() - at));
  }
  read = read && scanner.Finish();
  log.Flush();
  Events = std::move(log.Events);
  return read;
}

// Expat's log of Xml, read as the KDBX reader sets expat up (UTF-8, no
// document type); false where expat refuses it.
inline bool ExpatXml(std::string_view Xml, std::string& Events) {
  struct TState {
    TXmlEventLog Log;
    bool Doctype = false;
  } state;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void* State, const XML_Char* Name, const XML_Char** Attrs) {
        // More than the scanner reads are never compared.
        detail::TXmlScanAttribute list[detail::TKdbxXmlScanner::MaxAttributes + 1];
        std::size_t count = 0;
        for (; Attrs[2 * count] != nullptr && count < std::size(list); ++count) {
          list[count] = {Attrs[2 * count], Attrs[2 * count + 1]};
        }
        static_cast<TState*>(State)->Log.Start(Name, std::span(list, count));
      },
      [](void* State, const XML_Char*) { static_cast<TState*>(State)->Log.End(); });
  XML_SetCharacterDataHandler(parser, [](void* State, const XML_Char* Text, int Len) {
    static_cast<TState*>(State)->Log.Text(std::string_view(Text, static_cast<std::size_t>(Len)));
  });
  XML_SetStartDoctypeDeclHandler(parser, [](void* State, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<TState*>(State)->Doctype = true;
  });
  const bool read =
      XML_Parse(parser, Xml.data(), static_cast<int>(Xml.size()), XML_TRUE) == XML_STATUS_OK && !state.Doctype;
  XML_ParserFree(parser);
  state.Log.Flush();
  Events = std::move(state.Log.Events);
  return read;
}

} // namespace kl::test
