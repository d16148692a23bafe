#include <quenor/linkcollectionnode.h>

LinkCollectionNode::LinkCollectionNode() = default;

LinkCollectionNode::~LinkCollectionNode() {
    destroyChildren();
}

int LinkCollectionNode::usage() {
    return m_usage;
}

void LinkCollectionNode::setUsage(int usage) {
    m_usage = usage;
}

int LinkCollectionNode::usagePage() {
    return m_usagePage;
}

void LinkCollectionNode::setUsagePage(int usagePage) {
    m_usagePage = usagePage;
}

LinkCollectionNode* LinkCollectionNode::parent() {
    return m_parent;
}

void LinkCollectionNode::setParent(LinkCollectionNode* parent) {
    m_parent = parent;
}

int LinkCollectionNode::collectionType() {
    return m_collectionType;
}

void LinkCollectionNode::setCollectionType(int collectionType) {
    m_collectionType = collectionType;
}

bool LinkCollectionNode::isAliased() {
    return m_aliased;
}

void LinkCollectionNode::setAliased(bool aliased) {
    m_aliased = aliased;
}

std::size_t LinkCollectionNode::childrenCount() {
    return m_children.size();
}

std::vector<LinkCollectionNode*> LinkCollectionNode::children() {
    return m_children;
}

void LinkCollectionNode::addChild(LinkCollectionNode* child) {
    m_children.push_back(child);
}

void LinkCollectionNode::setChildren(const std::vector<LinkCollectionNode*>& children) {
    destroyChildren();
    m_children = children;
}

void LinkCollectionNode::deleteAllChildren() {
    destroyChildren();
}

// Each child's destructor finishes its own subtree before the next sibling is visited. The list
// is emptied afterwards so that no dangling pointer survives in it.
void LinkCollectionNode::destroyChildren() {
    for (LinkCollectionNode* child : m_children) {
        delete child;
    }
    m_children.clear();
}
