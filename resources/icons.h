#pragma once

#include <QIcon>
#include <QString>

namespace qelto {

// The picture of the inventory tree for an image key ("k1" … "k41"): 23 × 23 pixels, compiled
// into the program. A key without a picture gives a null icon.
QIcon treeIcon(const QString& key);

// The size of every tree picture.
inline constexpr int kTreeIconSize = 23;

}  // namespace qelto
