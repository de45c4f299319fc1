// Owning handle for a reference-counted record. A lookup takes a reference under the
// owner's list mutex; the handle gives it back when it goes out of scope, and the record is
// freed by whoever drops the last reference. This keeps a record found by one thread valid
// while another thread unlinks it from its list.
#pragma once

#include <utility>

namespace qor {

template <typename T, void (*Release)(T*)>
class Ref {
public:
    Ref() = default;
    // Adopts a reference the caller already took.
    explicit Ref(T* p) : p_(p) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    void reset() {
        if (p_) Release(std::exchange(p_, nullptr));
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace qor
