#include "test_frame.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <random>

namespace preprocessing_test {

TestFrame::TestFrame(int width, int height, int lineSlack, Guard guard)
    : frameWidth(width), frameHeight(height) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (int index = 0; index < 3; ++index) {
        Plane& plane = planes[static_cast<size_t>(index)];
        plane.width = index == 0 ? width : (width + 1) / 2;
        plane.height = index == 0 ? height : (height + 1) / 2;
        plane.lineSize = plane.width + lineSlack;
        plane.bytes = static_cast<size_t>(plane.height - 1) * static_cast<size_t>(plane.lineSize) +
                      static_cast<size_t>(plane.width);
        const size_t dataPages = (plane.bytes + page - 1) / page;
        void* address = mmap(nullptr, (dataPages + 2) * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED) {
            throw std::bad_alloc();
        }
        plane.mapping.address = address;
        plane.mapping.bytes = (dataPages + 2) * page;
        uint8_t* usable = static_cast<uint8_t*>(address) + page;
        if (mprotect(usable, dataPages * page, PROT_READ | PROT_WRITE) != 0) {
            throw std::bad_alloc();
        }
        plane.data = guard == Guard::AfterPlanes ? usable + dataPages * page - plane.bytes : usable;
    }
}

TestFrame::GuardedMapping::~GuardedMapping() {
    if (address != nullptr) {
        munmap(address, bytes);
    }
}

uint8_t& TestFrame::at(int plane, int row, int column) {
    const Plane& p = planes[static_cast<size_t>(plane)];
    return p.data[static_cast<size_t>(row) * static_cast<size_t>(p.lineSize) + static_cast<size_t>(column)];
}

uint8_t TestFrame::sample(int plane, int row, int column) const {
    const Plane& p = planes[static_cast<size_t>(plane)];
    return p.data[static_cast<size_t>(row) * static_cast<size_t>(p.lineSize) + static_cast<size_t>(column)];
}

void TestFrame::fillRandom(uint32_t seed) {
    std::mt19937 random(seed);
    for (Plane& plane : planes) {
        for (size_t i = 0; i < plane.bytes; ++i) {
            plane.data[i] = static_cast<uint8_t>(random());
        }
    }
}

}  // namespace preprocessing_test
