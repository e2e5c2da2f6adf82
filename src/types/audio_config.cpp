#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

#include "callbacks/record_callbacks.h"
#include "module/registration.h"

using tavix::AudioAttributes;
using tavix::CloudInferencingParams;

namespace {

// Local inference only when TAVIX_LOCAL_INFERENCING is exactly "1"; read at
// every construction, never cached.
bool cloud_inferencing_from_env() {
    const char* value = std::getenv("TAVIX_LOCAL_INFERENCING");
    return !(value && std::strcmp(value, "1") == 0);
}

void construct_audio_attributes(AudioAttributes* self, uint32_t sampling_rate, uint16_t channels,
                                std::string model_name,
                                const CloudInferencingParams& cloud_inferencing_params,
                                std::optional<PyCallable<tavix::PipelineState>> audio_pipeline_state_notify) {
    // Everything that can fail happens before the record exists, so a
    // failure leaves no half-built record behind.
    auto notify = callback_of<tavix::PipelineState>(std::move(audio_pipeline_state_notify));
    AudioAttributes* record = new (self) AudioAttributes();
    record->sampling_rate = sampling_rate;
    record->channels = channels;
    record->model_name = std::move(model_name);
    record->cloud_inferencing_params = cloud_inferencing_params;
    record->cloud_inferencing = cloud_inferencing_from_env();
    record->audio_pipeline_state_notify = std::move(notify);
}

nb::typed<nb::object, CloudInferencingParams> cloud_params_of(
    nb::pointer_and_handle<AudioAttributes> self) {
    return internal_reference(self.p->cloud_inferencing_params, self.h);
}

void set_cloud_params(AudioAttributes& self, const CloudInferencingParams& value) {
    self.cloud_inferencing_params = value;
}

}  // namespace

void register_audio_config(nb::module_& m) {
    nb::class_<CloudInferencingParams>(
        m, "CloudInferencingParams",
        "Parameters that apply only to cloud / remote inference sessions. Ignored for local "
        "inference.",
        nb::type_slots(record_gc_slots<CloudInferencingParams>))
        .def(nb::init<>())
        .def_rw("use_pcm16", &CloudInferencingParams::use_pcm16,
                "Negotiate L16 (raw 16-bit linear PCM) at the call's sample rate instead of the "
                "rate-default codec. Preserves fidelity and avoids server-side transcoding at the "
                "cost of bandwidth. Default: False.");

    nb::class_<AudioAttributes>(
        m, "AudioAttributes",
        "Audio-processing configuration for create_audio_processor (buffer / stream path). "
        "Selects the model to run (via model_name) and the session PCM format, and supplies the "
        "pipeline-state callback. The requested model must be entitled to the activated user.",
        nb::type_slots(record_gc_slots<AudioAttributes>))
        .def("__init__", &construct_audio_attributes, nb::arg("sampling_rate") = 16000,
             nb::arg("channels") = 1, nb::arg("model_name") = "",
             nb::arg("cloud_inferencing_params") = CloudInferencingParams(),
             nb::arg("audio_pipeline_state_notify") = nb::none())
        .def_rw("sampling_rate", &AudioAttributes::sampling_rate,
                "Session sample rate in Hz. The host must push, and receives back, all AudioFrame "
                "PCM at this rate for the lifetime of the processor.")
        .def_rw("channels", &AudioAttributes::channels,
                "Session channel count (1 = mono, 2 = stereo). Applies to both the pushed and the "
                "returned AudioFrame PCM.")
        .def_rw("model_name", &AudioAttributes::model_name,
                "Model key selecting the model to run; validated against the user's "
                "entitlements. For Language Translation leave this empty and set "
                "ProcessorAttributes.lt_config instead.")
        .def_prop_rw("cloud_inferencing_params", &cloud_params_of, &set_cloud_params,
                "Cloud / remote inference tuning parameters. Only meaningful when the session "
                "runs on cloud inference; ignored for local inference.")
        .def_prop_rw("audio_pipeline_state_notify", &read_as_none,
                     callback_setter(&AudioAttributes::audio_pipeline_state_notify),
                     "Invoked with the current PipelineState as the processor's remote pipeline "
                     "connects / disconnects. Start pumping frames only once kRunning is "
                     "reported; frames pushed earlier pass through unprocessed.");
}
