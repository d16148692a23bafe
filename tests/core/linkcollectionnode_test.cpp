// Link-collection trees: a node owns its children and releases each of them once, with its
// subtree, when it is destroyed or given other children.
#include <quenor/linkcollectionnode.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

// The nodes have no virtual destructor to hook, so a release is seen where its memory goes back.
namespace {
std::atomic<bool> g_counting{false};
std::vector<const void*> g_watched;  // changed only while not counting
int g_releases[8];                   // of each watched address; noting must not allocate

void noteRelease(const volatile void* p) {
    for (std::size_t n = 0; g_counting && n < g_watched.size(); ++n) {
        g_releases[n] += g_watched[n] == p;
    }
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers supply operator new and delete and check how they are used; replacing them would
// switch those checks off for the whole binary, so their own release hook is used instead.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*,
                                                                  std::size_t),
                                                         void (*)(const volatile void*));
[[maybe_unused]] const int g_hooked = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) {}, noteRelease);
#else
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    noteRelease(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
#endif

namespace {

// How many times `action` released each node of `watched` (at most 8).
template <class Action>
std::vector<int> releasesBy(const std::vector<LinkCollectionNode*>& watched, Action action) {
    g_watched.assign(watched.begin(), watched.end());
    std::fill(std::begin(g_releases), std::end(g_releases), 0);
    g_counting = true;
    action();
    g_counting = false;
    return std::vector<int>(g_releases, g_releases + watched.size());
}

LinkCollectionNode* node(const std::vector<LinkCollectionNode*>& children = {}) {
    auto* made = new LinkCollectionNode;
    made->setChildren(children);
    return made;
}

}  // namespace

TEST(LinkCollectionNode, ReleasesEachOwnedNodeOnceWhenDestroyedOrGivenOtherChildren) {
    LinkCollectionNode root;
    LinkCollectionNode *a1 = node(), *a = node({a1, nullptr}), *fresh = node();
    root.addChild(a);
    root.addChild(nullptr);
    const auto replace = [&] { root.setChildren({fresh, nullptr}); };
    EXPECT_EQ(releasesBy({a, a1, fresh}, replace), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(root.children(), (std::vector<LinkCollectionNode*>{fresh, nullptr}));
    LinkCollectionNode *b1 = node(), *b = node({nullptr, b1});
    root.addChild(b);
    EXPECT_EQ(releasesBy({fresh, b, b1}, [&] { root.deleteAllChildren(); }),
              (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(root.childrenCount(), 0u);
    LinkCollectionNode *c2 = node(), *c1 = node({c2}), *c = node({c1, nullptr}), *top = node({c});
    EXPECT_EQ(releasesBy({top, c, c1, c2}, [top] { delete top; }), std::vector<int>(4, 1));
}
