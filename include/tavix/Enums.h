#pragma once

#include <cstdint>

namespace tavix {

// Kind of transcript carried by a TextFrame.
enum class TranscriptType : int32_t {
    kTranslation = 0,
    kTranscription = 1,
};

// State of the remote (cloud) inference pipeline of one processor.
enum class PipelineState : int32_t {
    kUnknown = 0,
    kTrying = 1,
    kRunning = 2,
    kNotRunning = 3,
};

// Failure category of an SdkResult. Success is told by SdkResult::success.
enum class SdkErrorType : int32_t {
    kNoCredentials = 0,
    kUserDisabled = 1,
    kUnauthorized = 2,
    kUserNotFound = 3,
    kSessionExists = 4,
    kSessionExpired = 5,
    kTokenExpired = 6,
    kInvalidGrant = 7,
    kAuthenticationFailed = 8,
    kBadRequest = 9,
    kAuthenticationMechanismMismatch = 10,
    kDomainBlacklisted = 11,
    kInvalidEmail = 12,
    kEmptyPasscode = 13,
    kInvalidPasscode = 14,
    kMaxRetriesExceeded = 15,
    kPortalUserExists = 16,
    kUserCreationFailed = 17,
    kOnboardingExists = 18,
    kGroupMigrated = 19,
    kNotDomainJoined = 20,
    kServerUnreachable = 21,
    kUnknownFailure = 22,
};

}  // namespace tavix
