// One movable owner for every kind of handle and descriptor; its traits give the value that owns
// nothing and the call that releases a handle.
#pragma once

#include <type_traits>
#include <utility>

namespace ZEPMaintenance {

// Traits: `using Value = ...; static Value Invalid() noexcept; static void Close(Value) noexcept;`
template <class Traits> class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Value Get() const noexcept { return value_; }
    bool IsValid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }
    // Where the handle is a platform's own state object.
    Value operator->() const noexcept requires std::is_pointer_v<Value> { return value_; }

    // Gives ownership up, as when another object (a DIR stream) takes the handle over.
    [[nodiscard]] Value Release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    // Releases what it owns and takes value over.
    void Reset(Value value = Traits::Invalid()) noexcept {
        const Value old = std::exchange(value_, value);
        if (old != Traits::Invalid() && old != value) {
            Traits::Close(old);
        }
    }

private:
    Value value_ = Traits::Invalid();
};

} // namespace ZEPMaintenance
