// The measuring core against an independent model of what its figures must be
// (measure_oracle.h): every packet's fate drawn from the fuzzer's bytes.
#include <cstdio>
#include <cstdlib>

#include "measure_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string why;
    if (oracle::Run().play(data, size, &why) == oracle::Outcome::Fail) {
        std::fprintf(stderr, "core and model differ: %s\n", why.c_str());
        abort();
    }
    return 0;
}
