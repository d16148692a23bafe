// Object: the reference-counted base of every CF object of the platform.
//
// Counting: `refs` is atomic; CFRetain/CFRelease may run on any thread. When
// the count drops to zero, finalize() releases whatever the object holds and
// the shell becomes a zombie: its memory is kept (in a bounded ring of recent
// zombies) so that a later CFRelease or CFRetain of the same pointer aborts
// with a message naming the type instead of touching freed memory.
// Immortal objects (CFSTR strings, constant UUIDs) ignore retain and release.
// Live counts cover mortal objects that are not zombies; run loops are counted
// apart because each thread's loop lives as long as the thread.
#pragma once

#include <vmac/platform.h>

#include <atomic>
#include <cstdint>

namespace vmac::detail {

enum TypeId : CFTypeID {
    kStringType = 1,
    kNumberType,
    kArrayType,
    kDictionaryType,
    kUUIDType,
    kRunLoopType,
    kRunLoopSourceType,
    kHIDDeviceType,
    kHIDElementType,
};

// Base of everything whose freeing is deferred to catch over-release.
class Zombie {
public:
    virtual ~Zombie() = default;
};

// Keeps the shell alive for a while; frees the oldest shells beyond a bound.
void buryZombie(Zombie* shell);

// Writes "vmac: <message>" to stderr and aborts.
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

enum class Lifetime { Counted, RunLoop, Immortal };

class Object : public Zombie {
public:
    Object(CFTypeID type, Lifetime lifetime);
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    CFTypeID typeId() const { return type_; }
    bool immortal() const { return lifetime_ == Lifetime::Immortal; }
    // False once the last reference went: the object is a zombie shell.
    bool live() const { return immortal() || refs_.load() > 0; }

    void retain() const;
    void release() const;

protected:
    // Drops the references the object holds; runs once, on the thread of the
    // last CFRelease, with no platform lock held by the caller.
    virtual void finalize() {}

private:
    const CFTypeID type_;
    const Lifetime lifetime_;
    mutable std::atomic<long> refs_{1};
};

const char* typeName(CFTypeID type);

// The object behind `cf`, which must be non-null and a live object; aborts
// naming `function` otherwise.
const Object* objectOf(CFTypeRef cf, const char* function);

// The object behind `cf` as T (whose type id is `type`); aborts when `cf` is
// null, released or of another type.
template <typename T>
T* checked(CFTypeRef cf, CFTypeID type, const char* function) {
    const Object* object = objectOf(cf, function);
    if (object->typeId() != type)
        fatal("%s expects a %s, got a %s", function, typeName(type), typeName(object->typeId()));
    return const_cast<T*>(static_cast<const T*>(object));
}

long liveCountedObjects();
long liveRunLoops();

// CF value equality and hash as the kCFType callbacks use them: strings and
// numbers by value, everything else by identity.
bool cfEqual(CFTypeRef a, CFTypeRef b);
CFHashCode cfHash(CFTypeRef cf);

}  // namespace vmac::detail
