// Reading the event from standard input, whole, into one buffer that grows as it fills; the
// system's file (launcher_posix.cpp, launcher_windows.cpp) does the reads themselves.
#include <cstdint>
#include <cstdlib>

#include "launcher.hpp"

namespace launcher {

namespace {

constexpr std::size_t first_capacity = 65536;

// Makes room for at least `wanted` bytes, doubling the capacity.
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
    if (!data) {
        return false;
    }
    input.data = data;
    capacity = next;
    return true;
}

}  // namespace

bool read_input(Input& input) {
    std::size_t capacity = 0;
    // An input that announces its size is taken in one allocation and one read, with a byte
    // to spare for the read that finds its end.
    const std::size_t announced = standard_input::announced_size();
    if (!grow(input, capacity, announced ? announced + 1 : first_capacity)) {
        return false;
    }
    while (true) {
        if (input.size == capacity && !grow(input, capacity, capacity + 1)) {
            return false;
        }
        std::size_t got = 0;
        switch (standard_input::read(input.data + input.size, capacity - input.size, got)) {
            case standard_input::Read::Some:
                input.size += got;
                break;
            case standard_input::Read::End:
                return true;
            case standard_input::Read::Failed:
                input.ending = input.size ? Input::Ending::FailedLater : Input::Ending::FailedAtOnce;
                return true;
        }
    }
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
