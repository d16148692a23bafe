// One node of a tree of HID link collections, as its builder sets it.
//
// Ownership: a node owns every non-null entry of its child list and destroys it, with its whole
// subtree, when the node is destroyed or its children are deleted or replaced. The parent pointer
// does not own and is never maintained automatically: adding children does not set their parents
// and setting a parent does not touch any child list; the builder keeps both directions
// consistent. A node must appear in at most one child list and not in its own subtree; this is
// not checked. Not copyable (copies would duplicate owning pointers). No locking.
//
// A new node has no parent, no children, usage, usage page and collection type 0 and is not
// aliased.
#pragma once

#include <quenor/export.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class QUENOR_EXPORT LinkCollectionNode {
public:
    LinkCollectionNode();
    // Destroys every non-null child, depth-first in list order.
    ~LinkCollectionNode();
    LinkCollectionNode(const LinkCollectionNode&) = delete;
    LinkCollectionNode& operator=(const LinkCollectionNode&) = delete;

    int usage();
    void setUsage(int usage);
    int usagePage();
    void setUsagePage(int usagePage);
    LinkCollectionNode* parent();
    void setParent(LinkCollectionNode* parent);
    int collectionType();
    void setCollectionType(int collectionType);
    bool isAliased();
    void setAliased(bool aliased);

    // Entries of the child list, null entries included.
    std::size_t childrenCount();
    // A copy of the child list; the node keeps ownership of the children.
    std::vector<LinkCollectionNode*> children();
    // Appends `child` (null allowed); the node owns it from now on.
    void addChild(LinkCollectionNode* child);
    // Destroys the current children, then owns `children` in their order. `children` must not
    // contain any of the current children, which are gone by the time the list is copied.
    void setChildren(const std::vector<LinkCollectionNode*>& children);
    void deleteAllChildren();

private:
    void destroyChildren();

    std::int32_t m_usage = 0;
    std::int32_t m_usagePage = 0;
    LinkCollectionNode* m_parent = nullptr;       // not owned
    std::vector<LinkCollectionNode*> m_children;  // owned; entries may be null
    std::int32_t m_collectionType = 0;
    bool m_aliased = false;
};
