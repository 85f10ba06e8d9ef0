// The hardware compatibility gate run before unpacking or installing.
#pragma once

#include "bootenv/bootenv.h"
#include "platform/platform.h"

namespace update {

// 0 when the image may be used; otherwise a refusal code, with its text in
// `message`.
int check_compatibility(platform::Platform& platform, bootenv::EnvStore& env, const char* path,
                        char (&message)[256]);

}  // namespace update
