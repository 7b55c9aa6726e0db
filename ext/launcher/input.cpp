// Reading the event from standard input, whole, into one buffer that grows as it fills; the
// system's file (launcher_posix.cpp, launcher_windows.cpp) does the reads themselves.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "launcher.hpp"

namespace launcher {

namespace {

constexpr std::size_t first_capacity = 65536;

// Makes room for at least `wanted` bytes, doubling the capacity, or, where that much memory
// cannot be had, adding an eighth: the launcher gives up only with nearly all it could hold
// held, where the interpreter, which holds the text twice over (bytes, then the string), has
// no room for it either.
bool grow(Input& input, std::size_t& capacity, std::size_t wanted) {
    if (wanted <= capacity) {
        return true;
    }
    std::size_t next = capacity ? capacity : first_capacity;
    while (next < wanted) {
        if (next > SIZE_MAX / 2) {
            return false;
        }
        next *= 2;
    }
    auto* data = static_cast<unsigned char*>(std::realloc(input.data, next));
    if (!data && capacity) {
        next = std::max(wanted, capacity + capacity / 8);  // no overflow: `capacity` was allocated
        data = static_cast<unsigned char*>(std::realloc(input.data, next));
    }
    if (!data) {
        return false;
    }
    input.data = data;
    capacity = next;
    return true;
}

}  // namespace

void read_input(Input& input) {
    std::size_t capacity = 0;
    // An input that announces its size is taken in one allocation and one read, with a byte
    // to spare for the read that finds its end.
    const std::size_t announced = standard_input::announced_size();
    bool room = grow(input, capacity, announced ? announced + 1 : first_capacity);
    while (room) {
        if (input.size == capacity && !grow(input, capacity, capacity + 1)) {
            break;
        }
        std::size_t got = 0;
        switch (standard_input::read(input.data + input.size, capacity - input.size, got)) {
            case standard_input::Read::Some:
                input.size += got;
                break;
            case standard_input::Read::End:
                return;
            case standard_input::Read::Failed:
                room = false;
                break;
        }
    }
    // An input that cannot be held is, for main(), a read that fails.
    input.ending = input.size ? Input::Ending::FailedLater : Input::Ending::FailedAtOnce;
}

bool exits_at_once(const Input& input) {
    switch (input.ending) {
        case Input::Ending::End:
            return answers_alone(input.data, static_cast<std::ptrdiff_t>(input.size));
        case Input::Ending::FailedAtOnce:
            return false;
        case Input::Ending::FailedLater:
            return true;
    }
    return false;
}

}  // namespace launcher
