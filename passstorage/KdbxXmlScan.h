#pragma once

// A fast scanner for the XML that KDBX files carry. It reads the common
// shape of such a document (UTF-8, no document type, element and attribute
// names in ASCII, the five predefined entities and character references,
// comments, processing instructions and CDATA sections) and reports what
// expat would report for it: the same elements with the same attributes and
// the same text, line ends and attribute values normalised as XML says.
//
// It never decides that a document is bad. Whatever it does not read, or
// reads as not well formed, makes it give up (Feed or Finish returns false),
// and the caller reads the whole document again with expat, which decides.
// So it may refuse more than expat, never accept more, and what it accepts
// it reports exactly as expat does (fuzz/KdbxXmlScan.cpp holds it to that).
//
// Internal to the library.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kl::detail {

struct TXmlScanAttribute {
  std::string_view Name;
  std::string_view Value;
};

// What a document holds, in document order. The views hold for the call
// only. The text of an element may come in several pieces; text outside the
// document element is never reported.
class TXmlScanSink {
public:
  virtual void Start(std::string_view Name, std::span<const TXmlScanAttribute> Attributes) = 0;
  virtual void End() = 0;
  virtual void Text(std::string_view Text) = 0;
  // True once the sink refused what it was given (Stop): the scanner stops.
  bool Stopped() const noexcept { return FStopped; }

protected:
  ~TXmlScanSink() = default;
  void Stop() noexcept { FStopped = true; }

private:
  bool FStopped = false;
};

class TKdbxXmlScanner {
public:
  explicit TKdbxXmlScanner(TXmlScanSink& Sink) noexcept : FSink(Sink) {}
  ~TKdbxXmlScanner();
  TKdbxXmlScanner(const TKdbxXmlScanner&) = delete;
  TKdbxXmlScanner& operator=(const TKdbxXmlScanner&) = delete;

  // The document in pieces of any size. False once the scanner gave up or
  // the sink stopped; nothing is reported after that.
  bool Feed(const char* Data, std::size_t Size);
  // The end of the document: false unless it was whole.
  bool Finish();

  // A markup token (a tag, comment, processing instruction or CDATA
  // section) cut by the end of a piece is carried over to the next one up to
  // this size; a longer one makes the scanner give up. So each byte is
  // scanned at most twice whatever the pieces.
  static constexpr std::size_t MaxCarried = 16 * 1024;
  static constexpr std::size_t MaxAttributes = 32;
  static constexpr std::size_t MaxDepth = 1024;

private:
  enum class TStage : std::uint8_t { Start, Prolog, Content, Epilog };

  bool Scan(const char* Data, std::size_t Size, bool Last, std::size_t& Used);
  const char* Markup(const char* P, const char* End, bool Last);
  const char* StartTag(const char* P, const char* End, bool Last);
  const char* EndTag(const char* P, const char* End, bool Last);
  const char* Declaration(const char* P, const char* End, bool Last);
  const char* Instruction(const char* P, const char* End, bool Last);
  const char* Comment(const char* P, const char* End, bool Last);
  const char* CData(const char* P, const char* End, bool Last);
  const char* TextRun(const char* P, const char* End, bool Last);
  bool Emit(std::string_view Text);
  void Fail() noexcept { FFailed = true; }

  TXmlScanSink& FSink;
  TStage FStage = TStage::Start;
  bool FFailed = false;
  // The names of the open elements, end to end, and where each ends.
  std::string FNames;
  std::vector<std::size_t> FNameEnds;
  // What a piece left unscanned, and the attributes of the tag being read
  // with the room of the values that needed decoding. All wiped.
  std::string FCarry;
  std::vector<TXmlScanAttribute> FAttributes;
  std::vector<std::string> FValues;
};

} // namespace kl::detail
