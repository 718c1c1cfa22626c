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

// A pointer that owns nothing when null and is released by one function (closedir, LocalFree, ...).
template <class Pointer, auto release> struct ReleasedBy {
    using Value = Pointer;
    static Pointer Invalid() noexcept { return nullptr; }
    static void Close(Pointer pointer) noexcept { release(pointer); }
};
template <class Pointer, auto release> using UniquePointer = UniqueHandle<ReleasedBy<Pointer, release>>;

// A handle that portable code holds without knowing what it is: a pointer to a platform's own state, or
// an enumeration standing for a platform's handle. Each platform releases it with an overload of
// Destroy declared beside the kind.
template <class Opaque, Opaque none> struct DestroyedByPlatform {
    using Value = Opaque;
    static Opaque Invalid() noexcept { return none; }
    static void Close(Opaque handle) noexcept { Destroy(handle); }
};
template <class Opaque, Opaque none = Opaque{}>
using PlatformHandle = UniqueHandle<DestroyedByPlatform<Opaque, none>>;

} // namespace ZEPMaintenance
