#include "tree.h"

namespace qelto::scan {

void InventoryTree::clear() {
    nodes_.clear();
    index_.clear();
    selected_ = -1;
}

bool InventoryTree::add(const QString& parentKey, const QString& key, const QString& text,
                        const QString& image) {
    if (full()) return false;
    int parent = -1;
    if (!parentKey.isEmpty()) {
        parent = indexOf(parentKey);
        if (parent < 0) return false;
    }
    const int index = count();
    // One hashed look-up decides and inserts.
    const qsizetype before = index_.size();
    int& slot = index_[key];
    if (index_.size() == before) return false;
    slot = index;
    nodes_.push_back(Node{key, text, image, parent, {}, false});
    if (parent >= 0) nodes_[static_cast<std::size_t>(parent)].children.push_back(index);
    return true;
}

std::vector<int> InventoryTree::topLevel() const {
    std::vector<int> top;
    for (int i = 0; i < count(); ++i)
        if (node(i).parent < 0) top.push_back(i);
    return top;
}

void InventoryTree::select(int index) {
    if (index < 0 || index >= count()) return;
    selected_ = index;
    for (int p = node(index).parent; p >= 0; p = node(p).parent)
        nodes_[static_cast<std::size_t>(p)].expanded = true;
}

}  // namespace qelto::scan
