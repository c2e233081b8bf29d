#include "segmentation_engine.h"

extern "C" {
extern const std::uint8_t trelvo_embedded_model_begin[];
extern const std::uint8_t trelvo_embedded_model_end[];
extern const std::uint8_t trelvo_embedded_person_model_begin[];
extern const std::uint8_t trelvo_embedded_person_model_end[];
}

namespace trelvo::matte {

std::span<const std::uint8_t> embeddedModel() {
  return {trelvo_embedded_model_begin, trelvo_embedded_model_end};
}

std::span<const std::uint8_t> embeddedPersonModel() {
  return {trelvo_embedded_person_model_begin, trelvo_embedded_person_model_end};
}

}  // namespace trelvo::matte
