#pragma once

#include <string_view>

namespace orvix::sbc_decoder {

// The codes printed on standard error in engine mode, one per line. The desktop application
// matches them as text, so the spellings below are part of the contract.
enum class FailureCode {
  kInputInvalid,
  kDecodeFailed,
  kInputReadFailed,
  kResourceLoadFailed,
  kConfigPathFailed,
  kCreateFailed,
  kModeChangeFailed,
  kAppendFailed,
  kRunFailed,
  kOutputInvalid,
  kOutputWriteFailed,
  kOutputIncomplete,
};

constexpr std::string_view failureCodeText(FailureCode code) {
  switch (code) {
    case FailureCode::kInputInvalid:
      return "SBC132_INPUT_INVALID";
    case FailureCode::kDecodeFailed:
      return "SBC132_DECODE_FAILED";
    case FailureCode::kInputReadFailed:
      return "SBC132_INPUT_READ_FAILED";
    case FailureCode::kResourceLoadFailed:
      return "VX41_RESOURCE_LOAD_FAILED";
    case FailureCode::kConfigPathFailed:
      return "VX41_CONFIG_PATH_FAILED";
    case FailureCode::kCreateFailed:
      return "VX41_CREATE_FAILED";
    case FailureCode::kModeChangeFailed:
      return "VX41_MODE_CHANGE_FAILED";
    case FailureCode::kAppendFailed:
      return "VX41_APPEND_FAILED";
    case FailureCode::kRunFailed:
      return "VX41_RUN_FAILED";
    case FailureCode::kOutputInvalid:
      return "VX41_OUTPUT_INVALID";
    case FailureCode::kOutputWriteFailed:
      return "VX41_OUTPUT_WRITE_FAILED";
    case FailureCode::kOutputIncomplete:
      return "VX41_OUTPUT_INCOMPLETE";
  }
  return "";
}

}  // namespace orvix::sbc_decoder
