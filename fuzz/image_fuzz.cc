// Any file as an upgrade image: listing, verification and unpacking read
// only inside the file and the header's fields.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "image/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::write_file("dev/shm/updateFM.bin", data, size);
  fuzzing::Camera camera;
  const char* path = "/dev/shm/updateFM.bin";
  image::image_list_info(camera.sim, path);
  const int verified = image::image_verify(camera.sim, path);
  image::ImageHeader header;
  const int read = image::image_get_header_info(camera.sim, path, &header);
  if (size < image::kHeaderSize && (read == 0 || verified == 0))
    fuzzing::broken("an image shorter than its header was accepted");
  image::image_analysis(camera.sim, path, 0);
  return 0;
}
