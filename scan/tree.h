#pragma once

#include <QHash>
#include <QString>

#include <vector>

namespace qelto::scan {

// One line of the inventory tree. Nodes are only ever added, never changed.
struct Node {
    QString key;
    QString text;
    QString image;    // key of the picture, "k1" … "k41"
    int parent = -1;  // index of the parent node; -1 for the root
    std::vector<int> children;
    bool expanded = false;
};

// The inventory tree: computer, categories, detail lines. Indexes count from 0 in the order of
// adding. Keys are unique; a node is always added as the last child of an existing parent.
class InventoryTree {
  public:
    // The most lines a tree holds. A real machine gives a few hundred; only a hostile or broken
    // source (thousands of adapters paired with thousands of configurations) comes near it.
    static constexpr int kMaxLines = 100000;

    void clear();

    // Adds a node under the node keyed `parentKey` (an empty parent key adds a top-level node).
    // Refuses, returning false, a key that already exists, a parent that does not, and every
    // node once the tree holds kMaxLines.
    bool add(const QString& parentKey, const QString& key, const QString& text,
             const QString& image);

    int count() const { return static_cast<int>(nodes_.size()); }
    bool full() const { return count() >= kMaxLines; }
    const Node& node(int index) const { return nodes_[static_cast<std::size_t>(index)]; }
    int indexOf(const QString& key) const { return index_.value(key, -1); }
    bool contains(const QString& key) const { return index_.contains(key); }
    std::vector<int> topLevel() const;

    // Selects a node, which makes it visible: every node above it is expanded.
    void select(int index);
    int selected() const { return selected_; }

  private:
    std::vector<Node> nodes_;
    QHash<QString, int> index_;
    int selected_ = -1;
};

}  // namespace qelto::scan
