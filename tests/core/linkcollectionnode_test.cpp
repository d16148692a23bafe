// Link-collection trees: counting, ownership and the order in which subtrees are destroyed.
#include <quenor/linkcollectionnode.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

// The nodes have no virtual destructor to hook, so destruction is observed where memory is
// released: while a test records, the global operator delete notes every pointer it frees (in a
// fixed array, since it must not allocate). Outside a recording it behaves as usual.
namespace {

constexpr std::size_t kMaxRecorded = 256;
std::atomic<bool> g_recording{false};
std::atomic<std::size_t> g_recordedCount{0};
std::uintptr_t g_recorded[kMaxRecorded];

void noteRelease(void* p) {
    if (p != nullptr && g_recording.load(std::memory_order_relaxed)) {
        const std::size_t slot = g_recordedCount.fetch_add(1);
        if (slot < kMaxRecorded) {
            g_recorded[slot] = reinterpret_cast<std::uintptr_t>(p);
        }
    }
}

}  // namespace

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
    noteRelease(p);
    std::free(p);
}

namespace {

using Address = std::uintptr_t;

// Node addresses, taken while the nodes are alive: a freed pointer may not be looked at again.
std::vector<Address> addresses(const std::vector<LinkCollectionNode*>& nodes) {
    std::vector<Address> result;
    for (LinkCollectionNode* node : nodes) {
        result.push_back(reinterpret_cast<Address>(node));
    }
    return result;
}

// Records releases while it is alive; released() lists those of `watched`, in release order.
class ReleaseRecorder {
public:
    ReleaseRecorder() {
        g_recordedCount = 0;
        g_recording = true;
    }
    ~ReleaseRecorder() { g_recording = false; }

    std::vector<Address> released(const std::vector<Address>& watched) {
        g_recording = false;
        std::vector<Address> result;
        const std::size_t count = std::min<std::size_t>(g_recordedCount, kMaxRecorded);
        for (std::size_t i = 0; i < count; ++i) {
            for (Address node : watched) {
                if (g_recorded[i] == node) {
                    result.push_back(node);
                }
            }
        }
        return result;
    }
};

}  // namespace

TEST(LinkCollectionNode, NewNodeStartsEmpty) {
    LinkCollectionNode node;
    EXPECT_EQ(node.usage(), 0);
    EXPECT_EQ(node.usagePage(), 0);
    EXPECT_EQ(node.collectionType(), 0);
    EXPECT_FALSE(node.isAliased());
    EXPECT_EQ(node.parent(), nullptr);
    EXPECT_EQ(node.childrenCount(), 0u);
    EXPECT_TRUE(node.children().empty());

    LinkCollectionNode parent;
    node.setParent(&parent);
    EXPECT_EQ(node.parent(), &parent);
    EXPECT_EQ(parent.childrenCount(), 0u) << "setting a parent does not touch its children";
}

TEST(LinkCollectionNode, ChildListCountsNullEntriesAndLeavesParentsAlone) {
    LinkCollectionNode root;
    auto* a = new LinkCollectionNode;
    root.addChild(a);
    root.addChild(nullptr);
    auto* b = new LinkCollectionNode;
    root.addChild(b);
    EXPECT_EQ(root.childrenCount(), 3u);
    EXPECT_EQ(root.children(), (std::vector<LinkCollectionNode*>{a, nullptr, b}));
    EXPECT_EQ(a->parent(), nullptr);

    std::vector<LinkCollectionNode*> copy = root.children();
    copy.clear();
    EXPECT_EQ(root.childrenCount(), 3u) << "children() hands out a copy";
}

TEST(LinkCollectionNode, DestroyingARootReleasesEveryNodeOnceDepthFirst) {
    auto* root = new LinkCollectionNode;
    auto* a = new LinkCollectionNode;
    auto* a1 = new LinkCollectionNode;
    auto* a2 = new LinkCollectionNode;
    auto* b = new LinkCollectionNode;
    auto* b1 = new LinkCollectionNode;
    auto* b1x = new LinkCollectionNode;
    a->setChildren({a1, nullptr, a2});
    b1->addChild(b1x);
    b->addChild(nullptr);
    b->addChild(b1);
    root->addChild(a);
    root->addChild(nullptr);
    root->addChild(b);
    const std::vector<Address> all = addresses({root, a, a1, a2, b, b1, b1x});
    // Each node is released after its own subtree, subtrees in list order.
    const std::vector<Address> postOrder = addresses({a1, a2, a, b1x, b1, b, root});

    ReleaseRecorder recorder;
    delete root;
    EXPECT_EQ(recorder.released(all), postOrder);
}

TEST(LinkCollectionNode, DeleteAllChildrenReleasesTheSubtreesAndKeepsTheNode) {
    LinkCollectionNode root;
    auto* a = new LinkCollectionNode;
    auto* a1 = new LinkCollectionNode;
    a->addChild(a1);
    root.addChild(a);
    root.addChild(nullptr);
    const std::vector<Address> watched = addresses({a, a1});
    const std::vector<Address> postOrder = addresses({a1, a});

    ReleaseRecorder recorder;
    root.deleteAllChildren();
    EXPECT_EQ(recorder.released(watched), postOrder);
    EXPECT_EQ(root.childrenCount(), 0u);
    root.deleteAllChildren();
    EXPECT_EQ(root.childrenCount(), 0u);
}

TEST(LinkCollectionNode, SetChildrenReleasesTheOldChildrenAndOwnsTheNewOnes) {
    auto* root = new LinkCollectionNode;
    auto* old1 = new LinkCollectionNode;
    auto* old2 = new LinkCollectionNode;
    root->setChildren({old1, old2});
    EXPECT_EQ(root->childrenCount(), 2u);

    auto* fresh = new LinkCollectionNode;
    const std::vector<Address> olds = addresses({old1, old2});
    const std::vector<Address> watched = addresses({old1, old2, fresh});
    {
        ReleaseRecorder recorder;
        root->setChildren({fresh, nullptr});
        EXPECT_EQ(recorder.released(watched), olds);
    }
    EXPECT_EQ(root->childrenCount(), 2u);
    EXPECT_EQ(root->children(), (std::vector<LinkCollectionNode*>{fresh, nullptr}));
    EXPECT_EQ(fresh->parent(), nullptr);

    const std::vector<Address> last = addresses({fresh, root});
    {
        ReleaseRecorder recorder;
        delete root;
        EXPECT_EQ(recorder.released(last), last);
    }
}

TEST(LinkCollectionNode, SetChildrenWithAnEmptyListLeavesNoChildren) {
    LinkCollectionNode root;
    auto* a = new LinkCollectionNode;
    root.addChild(a);
    const std::vector<Address> only = addresses({a});
    ReleaseRecorder recorder;
    root.setChildren({});
    EXPECT_EQ(recorder.released(only), only);
    EXPECT_EQ(root.childrenCount(), 0u);
}
