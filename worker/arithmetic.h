// The arithmetic request mode: one JSON request in (read to end of input, at most 1024 bytes),
// an optional hold, the checked sum of two signed 64-bit integers, one JSON line out:
//   {"version":1,"ok":true,"value":N}\n
// On any failure nothing is written (except after a failed write, when part of the line may
// already be out) and the mode returns its code; the code itself is printed nowhere.
//
// The request is an object with exactly "version", "command", "left", "right" and optionally
// "hold_ms", or the array [version, command, left, right] / [version, command, left, right,
// hold_ms]. "command" is the string "sum" or the object {"sum": null}. Every number must be an
// integer literal: a fraction, an exponent or "-0" makes it a float, which is refused.
//
// This mode must start as fast as a trivial process: it touches no threads, no streams and
// nothing that only a session uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/result.h"

namespace tw {

// Failure codes, in the order their checks run.
enum class ArithmeticError : uint8_t {
  RequestReadFailed,    // "REQUEST_READ_FAILED": standard input could not be read
  RequestTooLarge,      // "REQUEST_TOO_LARGE": more than kMaxArithmeticRequestBytes
  InvalidRequest,       // "INVALID_REQUEST": not a valid request (syntax, types, members, ...)
  UnsupportedProtocol,  // "UNSUPPORTED_PROTOCOL": version 0..255 other than 1
  InvalidHold,          // "INVALID_HOLD": hold_ms above kMaxArithmeticHoldMs
  ArithmeticOverflow,   // "ARITHMETIC_OVERFLOW": the sum leaves the signed 64-bit range
  ResponseWriteFailed,  // "RESPONSE_WRITE_FAILED": standard output could not take the line
};

std::string_view arithmeticErrorText(ArithmeticError code);

inline constexpr size_t kMaxArithmeticRequestBytes = 1024;
inline constexpr uint64_t kMaxArithmeticHoldMs = 1000;
inline constexpr uint8_t kArithmeticProtocolVersion = 1;

struct ArithmeticRequest {
  uint8_t version = 0;
  int64_t left = 0;
  int64_t right = 0;
  uint64_t holdMs = 0;  // 0 when absent
};

// Decodes the request text (the decoding rules only; the version and the hold are not judged).
// Every failure is ArithmeticError::InvalidRequest.
Result<ArithmeticRequest, ArithmeticError> decodeArithmeticRequest(std::string_view text);

// The checks that come before the hold: size, decoding, version, hold bound.
Result<ArithmeticRequest, ArithmeticError> checkArithmeticRequest(std::string_view bytes);

// The checks that come after the hold: the sum and its response line (line feed included).
Result<std::string, ArithmeticError> answerArithmeticRequest(const ArithmeticRequest& request);

// The whole mode over two descriptors: reads at most kMaxArithmeticRequestBytes + 1 bytes from
// `inFd`, checks, holds, answers with one write on `outFd`.
Status<ArithmeticError> runArithmeticMode(int inFd, int outFd);

}  // namespace tw
