#include <optional>
#include <string>
#include <utility>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "callbacks/record_callbacks.h"
#include "module/registration.h"
#include "types/processor_attributes.h"

using tavix::AudioAttributes;
using tavix::LanguageTranslationConfig;
using tavix::ProcessorAttributes;
using tavix::TextFrame;

namespace {

void construct_lt_config(LanguageTranslationConfig* self, std::string language_in,
                         std::string language_out, std::string conversation_id,
                         std::optional<PyCallable<TextFrame&&>> callback) {
    auto transcript_callback = callback_of<TextFrame&&>(std::move(callback));
    LanguageTranslationConfig* record = new (self) LanguageTranslationConfig();
    record->language_in = std::move(language_in);
    record->language_out = std::move(language_out);
    record->conversation_id = std::move(conversation_id);
    record->callback = std::move(transcript_callback);
}

void construct_processor_attributes(BoundProcessorAttributes* self,
                                    const AudioAttributes& audio_attributes,
                                    const LanguageTranslationConfig* lt_config) {
    AudioAttributes audio_copy = with_own_callbacks(audio_attributes);
    std::optional<LanguageTranslationConfig> lt_copy;
    if (lt_config) lt_copy.emplace(with_own_callbacks(*lt_config));
    BoundProcessorAttributes* record = new (self) BoundProcessorAttributes();
    record->audio_attributes = std::move(audio_copy);
    record->lt_config = std::move(lt_copy);
}

nb::typed<nb::object, AudioAttributes> audio_attributes_of(
    nb::pointer_and_handle<BoundProcessorAttributes> self) {
    return internal_reference(self.p->audio_attributes, self.h);
}

void set_audio_attributes(BoundProcessorAttributes& self, const AudioAttributes& value) {
    // The replaced values (and their callback) go only after the field holds
    // the new ones.
    AudioAttributes copy = with_own_callbacks(value);
    std::swap(self.audio_attributes, copy);
}

// When the reference to a config goes while the config is detached, nothing
// can reach it any more: its storage goes too. The record may already be
// gone then (nanobind does not promise which of a dying reference's links
// ends first), which `alive` tells.
void on_lt_config_reference_end(void* payload) noexcept {
    auto* alive = static_cast<std::shared_ptr<BoundProcessorAttributes*>*>(payload);
    BoundProcessorAttributes* record = **alive;
    delete alive;
    if (!record || !record->lt_config_detached) return;
    std::optional<LanguageTranslationConfig> released = std::move(record->lt_config);
    record->lt_config.reset();
    record->lt_config_detached = false;
}

nb::typed<nb::object, std::optional<LanguageTranslationConfig>> lt_config_of(
    nb::pointer_and_handle<BoundProcessorAttributes> self) {
    BoundProcessorAttributes& record = *self.p;
    if (!record.lt_config || record.lt_config_detached) return nb::none();
    const bool seen = nb::find(*record.lt_config).is_valid();
    nb::object reference = internal_reference(*record.lt_config, self.h);
    if (!seen) {
        if (!record.alive) record.alive = std::make_shared<BoundProcessorAttributes*>(&record);
        nb::keep_alive_cb(reference, new std::shared_ptr<BoundProcessorAttributes*>(record.alive),
                          &on_lt_config_reference_end);
    }
    return nb::borrow<nb::typed<nb::object, std::optional<LanguageTranslationConfig>>>(reference);
}

// pa.lt_config = value (a copy of it), into the config's existing place if it
// has one; the old values (and callback) go only after the field holds the
// new ones.
void store_lt_config(BoundProcessorAttributes& record, const LanguageTranslationConfig& value) {
    LanguageTranslationConfig copy = with_own_callbacks(value);
    if (!record.lt_config) {
        record.lt_config.emplace(std::move(copy));
        return;
    }
    std::swap(*record.lt_config, copy);
    record.lt_config_detached = false;
}

// pa.lt_config = None: detaches the config while a reference can reach it.
void remove_lt_config(BoundProcessorAttributes& record) {
    if (!record.lt_config || record.lt_config_detached) return;
    if (nb::find(*record.lt_config).is_valid()) {
        LanguageTranslationConfig released = std::exchange(*record.lt_config, {});
        record.lt_config_detached = true;
        return;
    }
    std::optional<LanguageTranslationConfig> released = std::move(record.lt_config);
    record.lt_config.reset();
}

void set_lt_config(BoundProcessorAttributes& self, const LanguageTranslationConfig* value) {
    if (value)
        store_lt_config(self, *value);
    else
        remove_lt_config(self);
}

}  // namespace

void register_processor_attributes(nb::module_& m) {
    nb::class_<LanguageTranslationConfig>(
        m, "LanguageTranslationConfig",
        "Language Translation configuration parameters. Its presence on ProcessorAttributes "
        "selects the LT pipeline (leave AudioAttributes.model_name empty).",
        nb::type_slots(record_gc_slots<LanguageTranslationConfig>))
        .def("__init__", &construct_lt_config, nb::arg("language_in"), nb::arg("language_out"),
             nb::arg("conversation_id") = "", nb::arg("callback") = nb::none())
        .def_rw("language_in", &LanguageTranslationConfig::language_in,
                "Input language code (e.g. 'en-US').")
        .def_rw("language_out", &LanguageTranslationConfig::language_out,
                "Output language code (e.g. 'es-ES').")
        .def_rw("conversation_id", &LanguageTranslationConfig::conversation_id,
                "Conversation ID to link two different translation sessions, for better LLM "
                "context in two-party translation.")
        .def_prop_rw("callback", &read_as_none, callback_setter(&LanguageTranslationConfig::callback),
                     "Transcript callback for the raw-audio Language Translation path; invoked "
                     "with a TextFrame when a translation segment is available. Runs on an "
                     "internal background thread: keep it lightweight and do NOT destroy the "
                     "processor from within it (can deadlock).");

    nb::class_<BoundProcessorAttributes>(
        m, "ProcessorAttributes",
        "Attributes passed to Sdk.create_audio_processor. Always configures the "
        "audio-processing path via audio_attributes; when asr_attributes is also set, the "
        "processor runs the ASR/SSI path instead.",
        nb::type_slots(record_gc_slots<BoundProcessorAttributes>))
        .def("__init__", &construct_processor_attributes, nb::arg("audio_attributes"),
             nb::arg("lt_config") = nb::none())
        .def_prop_rw("audio_attributes", &audio_attributes_of, &set_audio_attributes,
                     "Audio-processing configuration (model, output format, sink).")
        .def_prop_rw("lt_config", &lt_config_of, &set_lt_config,
                     nb::for_setter(nb::arg().none()),
                     "Language Translation config, forwarded to the pipeline when the model "
                     "resolved from audio_attributes.model_name is a Language Translation model. "
                     "None otherwise.");
}
