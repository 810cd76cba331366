#include "results/relation_text.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace velmira {
namespace {

constexpr char kKeyStart[] = " | ";
constexpr size_t kKeyStartLength = 3;
constexpr char kListStart[] = " - [";
constexpr size_t kListStartLength = 4;
constexpr size_t kMaxKeyDigits = 20;
constexpr size_t kMaxNumberDigits = 10;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void AppendRelationText(std::string& out, uint64_t key, const std::vector<uint32_t>& records) {
  char text[32];
  int n = std::snprintf(text, sizeof text, " | %" PRIu64 " - [", key);
  out.append(text, static_cast<size_t>(n));
  bool first = true;
  for (uint32_t record : records) {
    if (!first) out.push_back(',');
    first = false;
    n = std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(record));
    out.append(text, static_cast<size_t>(n));
  }
  out.push_back(']');
}

void RelationTextParser::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size && m_state != State::kStopped; ++i) Step(data[i]);
}

void RelationTextParser::Finish() {
  switch (m_state) {
    case State::kSeek:
      if (m_matched != 0) m_clean = false;
      break;
    case State::kKey:
    case State::kKeySeparator:
      m_clean = false;
      break;
    case State::kList:
      // Cut short: keep the numbers that a "," ended.
      m_clean = false;
      Emit();
      break;
    case State::kStopped:
      break;
  }
  if (m_state != State::kStopped) m_state = State::kSeek;
  m_matched = 0;
}

void RelationTextParser::Fail(char c) {
  m_clean = false;
  m_state = State::kSeek;
  m_matched = 0;
  Step(c);
}

void RelationTextParser::Step(char c) {
  switch (m_state) {
    case State::kSeek:
      if (c == kKeyStart[m_matched]) {
        if (++m_matched == kKeyStartLength) {
          m_state = State::kKey;
          m_key = 0;
          m_keyDigits = 0;
          m_matched = 0;
        }
      } else {
        m_clean = false;
        m_matched = c == kKeyStart[0] ? 1 : 0;
      }
      return;
    case State::kKey:
      if (IsDigit(c)) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (m_keyDigits >= kMaxKeyDigits || m_key > (std::numeric_limits<uint64_t>::max() - digit) / 10)
          return Fail(c);
        m_key = m_key * 10 + digit;
        ++m_keyDigits;
        return;
      }
      if (c == kListStart[0] && m_keyDigits > 0) {
        m_state = State::kKeySeparator;
        m_matched = 1;
        return;
      }
      return Fail(c);
    case State::kKeySeparator:
      if (c != kListStart[m_matched]) return Fail(c);
      if (++m_matched == kListStartLength) {
        m_state = State::kList;
        m_matched = 0;
        m_list.clear();
        m_numberStarted = false;
        m_numberBad = false;
        m_negative = false;
        m_number = 0;
        m_numberDigits = 0;
      }
      return;
    case State::kList:
      if (c == ',') return EndNumber(false);
      if (c == ']') {
        EndNumber(true);
        if (m_state == State::kList) {
          Emit();
          if (m_state != State::kStopped) m_state = State::kSeek;
        }
        return;
      }
      m_numberStarted = true;
      if (c == '-' && m_numberDigits == 0 && !m_negative) {
        m_negative = true;
      } else if (IsDigit(c) && m_numberDigits < kMaxNumberDigits) {
        m_number = m_number * 10 + (c - '0');
        ++m_numberDigits;
      } else {
        m_numberBad = true;
      }
      return;
    case State::kStopped:
      return;
  }
}

void RelationTextParser::EndNumber(bool atListEnd) {
  const bool empty = !m_numberStarted;
  const int64_t value = m_negative ? -m_number : m_number;
  const bool valid = !m_numberBad && m_numberDigits > 0 && value >= std::numeric_limits<int32_t>::min() &&
                     value <= std::numeric_limits<int32_t>::max();
  if (valid) {
    m_list.push_back(static_cast<uint32_t>(static_cast<int32_t>(value)));
  } else if (!(empty && atListEnd && m_list.empty())) {
    // "[]" is an empty list; anything else that is not a number is damage.
    m_clean = false;
  }
  m_numberStarted = false;
  m_numberBad = false;
  m_negative = false;
  m_number = 0;
  m_numberDigits = 0;
}

void RelationTextParser::Emit() {
  if (!m_sink(m_key, std::move(m_list))) m_state = State::kStopped;
  m_list = {};
}

}  // namespace velmira
