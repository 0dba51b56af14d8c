// The image buffers of the tool are arrays taken with new (std::nothrow), never larger than
// image_buffer_size; while chip_test::fail_image_buffer is set, every such request fails.
#include "chip_test.h"
#include "file_access.h"

#include <new>

bool chip_test::fail_image_buffer = false;

void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    if (chip_test::fail_image_buffer && size <= image_buffer_size) {
        return nullptr;
    }
    try {
        return ::operator new[](size); // the array form, which delete[] undoes
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
