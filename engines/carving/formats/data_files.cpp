// PDF documents known by their headers only (never carved).
#include "engines/carving/formats/formats.h"

namespace velmira {
namespace {

uint32_t PdfTest(ByteView s, CarvingState&) {
  return s.size() >= 5 && s.Matches(0, "%PDF-") ? kTypePdf : kNoType;
}

}  // namespace

const FileFormat kPdfFormat{"pdf", &PdfTest, nullptr, CarveStep::kPastFile, 1, {{0, '%'}}};

}  // namespace velmira
