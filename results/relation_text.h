// The "_Relation" text of a scan log: for each directory key in ascending
// order " | <key> - [<n>,<n>,...]", keys as unsigned and record numbers as
// signed 32-bit decimal numbers, no line breaks, nothing after the last "]".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmira {

// Appends " | <key> - [<n>,...]" for one key.
void AppendRelationText(std::string& out, uint64_t key, const std::vector<uint32_t>& records);

// Reads relation text fed in pieces of any size. Each complete segment
// " | <key> - [...]" is handed to the sink; text that does not have that
// shape is skipped up to the next " | ", and a number that is not a signed
// 32-bit decimal is left out of its list. A list cut short by the end of
// the text keeps the numbers that were ended by ",". The sink returns false
// to stop the parse.
class RelationTextParser {
 public:
  using Sink = std::function<bool(uint64_t key, std::vector<uint32_t>&& records)>;

  explicit RelationTextParser(Sink sink) : m_sink(std::move(sink)) {}

  void Feed(const char* data, size_t size);
  // Ends the text; hands over a list cut short.
  void Finish();
  // True when all the text fed so far had the exact shape the writer makes.
  [[nodiscard]] bool Clean() const { return m_clean; }
  [[nodiscard]] bool Stopped() const { return m_state == State::kStopped; }

 private:
  enum class State { kSeek, kKey, kKeySeparator, kList, kStopped };

  void Step(char c);
  void EndNumber(bool atListEnd);
  void Emit();
  void Fail(char c);

  Sink m_sink;
  State m_state = State::kSeek;
  size_t m_matched = 0;  // characters of " | " or " - [" matched so far
  uint64_t m_key = 0;
  size_t m_keyDigits = 0;
  std::vector<uint32_t> m_list;
  int64_t m_number = 0;
  size_t m_numberDigits = 0;
  bool m_negative = false;
  bool m_numberBad = false;
  bool m_numberStarted = false;
  bool m_clean = true;
};

}  // namespace velmira
