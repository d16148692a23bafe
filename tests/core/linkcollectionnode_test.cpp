// Link-collection trees: counting, ownership and the order in which subtrees are destroyed.
#include <quenor/linkcollectionnode.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// The nodes have no virtual destructor to hook, so destruction is seen where memory is released:
// while recording, each release of a watched address notes the address's position in the list.
namespace {
std::atomic<bool> g_recording{false};
std::vector<const void*> g_watched;  // changed only while not recording
std::vector<int> g_positions(64);    // clear() keeps the capacity: noting must not allocate

void noteRelease(const volatile void* p) {
    for (std::size_t n = 0; g_recording && n < g_watched.size(); ++n) {
        if (g_watched[n] == p && g_positions.size() < 64) {
            g_positions.push_back(static_cast<int>(n));
        }
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

// Runs `action` and lists the positions in `watched` of the nodes it released, in release order.
template <class Action>
std::vector<int> releasedBy(const std::vector<LinkCollectionNode*>& watched, Action action) {
    g_watched.assign(watched.begin(), watched.end());
    g_positions.clear();
    g_recording = true;
    action();
    g_recording = false;
    return g_positions;
}

// A new node owning `children`.
LinkCollectionNode* node(const std::vector<LinkCollectionNode*>& children = {}) {
    auto* made = new LinkCollectionNode;
    made->setChildren(children);
    return made;
}

}  // namespace

TEST(LinkCollectionNode, DestroyingARootReleasesEveryNodeOnceDepthFirst) {
    LinkCollectionNode *a1 = node(), *a2 = node(), *b1x = node(), *b1 = node({b1x});
    LinkCollectionNode *a = node({a1, nullptr, a2}), *b = node({nullptr, b1});
    LinkCollectionNode* root = node({a, nullptr, b});
    // Each node is released after its own subtree, subtrees in list order: a1 a2 a b1x b1 b root.
    EXPECT_EQ(releasedBy({root, a, a1, a2, b, b1, b1x}, [root] { delete root; }),
              (std::vector<int>{2, 3, 1, 6, 5, 4, 0}));
}

TEST(LinkCollectionNode, ReplacingOrDeletingChildrenReleasesTheOldSubtreesAndKeepsTheNode) {
    LinkCollectionNode root;
    EXPECT_EQ(root.usage() | root.usagePage() | root.collectionType(), 0);
    EXPECT_FALSE(root.isAliased() || root.parent());
    LinkCollectionNode* a1 = node();
    LinkCollectionNode* a = node({a1});
    root.addChild(a);
    root.addChild(nullptr);
    EXPECT_EQ(root.children(), (std::vector<LinkCollectionNode*>{a, nullptr}));
    EXPECT_EQ(a->parent(), nullptr) << "adding a child leaves its parent alone";

    LinkCollectionNode* fresh = node();
    auto replace = [&] { root.setChildren({fresh, nullptr}); };
    EXPECT_EQ(releasedBy({a, a1, fresh}, replace), (std::vector<int>{1, 0}));
    EXPECT_EQ(root.children(), (std::vector<LinkCollectionNode*>{fresh, nullptr}));
    EXPECT_EQ(releasedBy({fresh}, [&] { root.setChildren({}); }), std::vector<int>{0});
    root.addChild(node());
    EXPECT_EQ(releasedBy(root.children(), [&] { root.deleteAllChildren(); }), std::vector<int>{0});
    EXPECT_EQ(root.childrenCount(), 0u);
}
