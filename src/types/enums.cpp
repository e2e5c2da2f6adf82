#include "module/registration.h"

#include "tavix/Enums.h"

using tavix::PipelineState;
using tavix::SdkErrorType;
using tavix::TranscriptType;

void register_enums(nb::module_& m) {
    nb::enum_<TranscriptType>(m, "TranscriptType", "Kind of transcript carried by a TextFrame.",
                              nb::is_arithmetic())
        .value("TRANSLATION", TranscriptType::kTranslation)
        .value("TRANSCRIPTION", TranscriptType::kTranscription);

    nb::enum_<PipelineState>(
        m, "PipelineState",
        "Remote-inference pipeline state, delivered to AudioAttributes.audio_pipeline_state_notify. "
        "Wait for RUNNING before feeding frames on the remote (cloud) path.",
        nb::is_arithmetic())
        .value("UNKNOWN", PipelineState::kUnknown, "Pipeline is in an unknown state.")
        .value("TRYING", PipelineState::kTrying,
               "Establishing the connection with the remote inference server.")
        .value("RUNNING", PipelineState::kRunning,
               "Pipeline is actively running and processing audio.")
        .value("NOT_RUNNING", PipelineState::kNotRunning,
               "Pipeline is not running or has disconnected.");

    nb::enum_<SdkErrorType>(m, "SdkErrorType", "Failure category carried by SdkResult.error_type.",
                            nb::is_arithmetic())
        .value("NO_CREDENTIALS", SdkErrorType::kNoCredentials)
        .value("USER_DISABLED", SdkErrorType::kUserDisabled)
        .value("UNAUTHORIZED", SdkErrorType::kUnauthorized)
        .value("USER_NOT_FOUND", SdkErrorType::kUserNotFound)
        .value("SESSION_EXISTS", SdkErrorType::kSessionExists)
        .value("SESSION_EXPIRED", SdkErrorType::kSessionExpired)
        .value("TOKEN_EXPIRED", SdkErrorType::kTokenExpired)
        .value("INVALID_GRANT", SdkErrorType::kInvalidGrant)
        .value("AUTHENTICATION_FAILED", SdkErrorType::kAuthenticationFailed)
        .value("BAD_REQUEST", SdkErrorType::kBadRequest)
        .value("AUTHENTICATION_MECHANISM_MISMATCH", SdkErrorType::kAuthenticationMechanismMismatch)
        .value("DOMAIN_BLACKLISTED", SdkErrorType::kDomainBlacklisted)
        .value("INVALID_EMAIL", SdkErrorType::kInvalidEmail)
        .value("EMPTY_PASSCODE", SdkErrorType::kEmptyPasscode)
        .value("INVALID_PASSCODE", SdkErrorType::kInvalidPasscode)
        .value("MAX_RETRIES_EXCEEDED", SdkErrorType::kMaxRetriesExceeded)
        .value("PORTAL_USER_EXISTS", SdkErrorType::kPortalUserExists)
        .value("USER_CREATION_FAILED", SdkErrorType::kUserCreationFailed)
        .value("ONBOARDING_EXISTS", SdkErrorType::kOnboardingExists)
        .value("GROUP_MIGRATED", SdkErrorType::kGroupMigrated)
        .value("NOT_DOMAIN_JOINED", SdkErrorType::kNotDomainJoined)
        .value("SERVER_UNREACHABLE", SdkErrorType::kServerUnreachable)
        .value("UNKNOWN_FAILURE", SdkErrorType::kUnknownFailure);
}
