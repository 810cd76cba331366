// Writes a starting corpus for signature_fuzz: one image per sample type of
// the test fixtures, each sample at sector 1 after an empty sector.
#include <cstdio>
#include <string>

#include "engines/carving/signature_table.h"
#include "tests/fixtures/carving_samples.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  for (uint32_t code = 0; code < 256; ++code) {
    if (code == velmira::kNoType) continue;
    const velmira::testing::Bytes sample = velmira::testing::SampleOfType(code);
    if (sample.empty()) continue;
    velmira::testing::ImageBuilder image;
    image.Put(1, sample).Size(1 + (sample.size() + 511) / 512 + 2);
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(code);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    const unsigned char options = 0;
    std::fwrite(&options, 1, 1, f);
    std::fwrite(image.bytes().data(), 1, image.bytes().size(), f);
    std::fclose(f);
  }
  return 0;
}
