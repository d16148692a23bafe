#include "object.h"

#include "nocancel.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace vmac::detail {
namespace {

std::atomic<long> g_liveCounted{0};
std::atomic<long> g_liveRunLoops{0};

// Recent zombies; older shells are freed. Large enough that a test's
// over-release is caught, bounded so a long run does not grow without end.
constexpr size_t kZombieRing = size_t{1} << 15;

struct ZombieRing {
    std::mutex mutex;
    std::deque<Zombie*> shells;  // guarded by mutex
};

ZombieRing& zombieRing() {
    static ZombieRing* ring = new ZombieRing;  // never destroyed: thread exits may still bury
    return *ring;
}

std::atomic<long>& counterFor(Lifetime lifetime) {
    return lifetime == Lifetime::RunLoop ? g_liveRunLoops : g_liveCounted;
}

}  // namespace

void buryZombie(Zombie* shell) {
    Zombie* evicted = nullptr;
    {
        ZombieRing& ring = zombieRing();
        std::lock_guard<std::mutex> lock(ring.mutex);
        ring.shells.push_back(shell);
        if (ring.shells.size() > kZombieRing) {
            evicted = ring.shells.front();
            ring.shells.pop_front();
        }
    }
    delete evicted;
}

void fatal(const char* format, ...) {
    std::fputs("vmac: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

Object::Object(CFTypeID type, Lifetime lifetime) : type_(type), lifetime_(lifetime) {
    if (lifetime_ != Lifetime::Immortal)
        counterFor(lifetime_).fetch_add(1);
}

void Object::retain() const {
    if (immortal())
        return;
    if (refs_.fetch_add(1) <= 0)
        fatal("CFRetain of an already released %s", typeName(type_));
}

void Object::release() const {
    if (immortal())
        return;
    const long before = refs_.fetch_sub(1);
    if (before <= 0)
        fatal("CFRelease of an already released %s", typeName(type_));
    if (before > 1)
        return;
    auto* self = const_cast<Object*>(this);
    self->finalize();
    counterFor(lifetime_).fetch_sub(1);
    buryZombie(self);
}

const char* typeName(CFTypeID type) {
    switch (type) {
        case kStringType:
            return "CFString";
        case kNumberType:
            return "CFNumber";
        case kArrayType:
            return "CFArray";
        case kDictionaryType:
            return "CFDictionary";
        case kUUIDType:
            return "CFUUID";
        case kRunLoopType:
            return "CFRunLoop";
        case kRunLoopSourceType:
            return "CFRunLoopSource";
        case kHIDDeviceType:
            return "IOHIDDevice";
        case kHIDElementType:
            return "IOHIDElement";
        default:
            return "unknown CF type";
    }
}

const Object* objectOf(CFTypeRef cf, const char* function) {
    if (cf == nullptr)
        fatal("%s called with NULL", function);
    const auto* object = static_cast<const Object*>(cf);
    if (!object->live())
        fatal("%s called on a released %s", function, typeName(object->typeId()));
    return object;
}

long liveCountedObjects() {
    return g_liveCounted.load();
}
long liveRunLoops() {
    return g_liveRunLoops.load();
}

}  // namespace vmac::detail

using vmac::detail::NoCancel;
using vmac::detail::objectOf;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    NoCancel noCancel;
    objectOf(cf, "CFRetain")->retain();
    return cf;
}

void CFRelease(CFTypeRef cf) {
    NoCancel noCancel;
    objectOf(cf, "CFRelease")->release();
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    NoCancel noCancel;
    return objectOf(cf, "CFGetTypeID")->typeId();
}

}  // extern "C"
