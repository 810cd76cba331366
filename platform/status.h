// The outcome of one step of an engine or a job: go on, leave this one
// record out, or stop with an error. It cannot be dropped unread; the
// Win32-style code (errors.h) is taken from it only where a result leaves
// through the engine interface or a callback.
//
// Not an outcome, and so not a Status: a callback's answer (0 goes on, any
// other value stops and is passed back as it is) and a decoder's private
// values that are no errors (kNtfsNotFileRecord, NextFreeExtent's 1).
#pragma once

#include <cstdint>

#include "platform/errors.h"

namespace velmira {

class [[nodiscard]] Status {
 public:
  enum class Kind : uint8_t {
    kOk,     // done; go on
    kSkip,   // this record is left out; the pass goes on
    kFatal,  // the pass cannot go on: Code() and Reason() say why
  };

  constexpr Status() = default;
  [[nodiscard]] static constexpr Status Ok() { return Status(); }
  // `code` is what the record's own entry point reports for it (87 for a
  // damaged header, kNtfsNotFileRecord, ...); a skip is never an error of
  // the pass.
  [[nodiscard]] static constexpr Status Skip(int32_t code, const char* reason) {
    return Status(Kind::kSkip, code, reason);
  }
  // A non-zero code; 0 would pass for success at the interface and becomes
  // kErrGenFailure.
  [[nodiscard]] static constexpr Status Fatal(int32_t code, const char* reason) {
    return Status(Kind::kFatal, code != kOk ? code : kErrGenFailure, reason);
  }
  // A stop that was asked for: it ends the pass as a fatal error does, with
  // kCancelled at the interface, but it is no failure to report.
  [[nodiscard]] static constexpr Status Cancelled() {
    return Status(Kind::kFatal, kCancelled, "stopped on request");
  }
  // A code from a call that still speaks Win32: 0 is Ok, kCancelled a stop,
  // anything else Fatal.
  [[nodiscard]] static constexpr Status FromCode(int32_t code, const char* reason) {
    if (code == kCancelled) return Cancelled();
    return code == kOk ? Ok() : Fatal(code, reason);
  }

  [[nodiscard]] constexpr Kind kind() const { return m_kind; }
  [[nodiscard]] constexpr bool IsOk() const { return m_kind == Kind::kOk; }
  [[nodiscard]] constexpr bool IsSkip() const { return m_kind == Kind::kSkip; }
  [[nodiscard]] constexpr bool IsFatal() const { return m_kind == Kind::kFatal; }
  [[nodiscard]] constexpr bool IsCancelled() const { return IsFatal() && m_code == kCancelled; }
  // Fatal for another reason than a stop: what the user must be told.
  [[nodiscard]] constexpr bool IsFailure() const { return IsFatal() && m_code != kCancelled; }
  // The Win32-style code for the interface: 0 when ok, else the code given.
  [[nodiscard]] constexpr int32_t Code() const { return m_code; }
  // A short English reason ("" when ok), for logs and messages beside the
  // code's own text.
  [[nodiscard]] constexpr const char* Reason() const { return m_reason; }

 private:
  constexpr Status(Kind kind, int32_t code, const char* reason)
      : m_kind(kind), m_code(code), m_reason(reason != nullptr ? reason : "") {}

  Kind m_kind = Kind::kOk;
  int32_t m_code = kOk;
  const char* m_reason = "";
};

}  // namespace velmira
