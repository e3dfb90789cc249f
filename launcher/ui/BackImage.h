// The picture of the launcher's main window, drawn in code: stage lights
// over the product's name.
#pragma once

#include <QPixmap>
#include <QSize>

namespace startell {

inline constexpr QSize kBackImageSize{360, 200};

QPixmap DrawBackImage(QSize size = kBackImageSize);

}  // namespace startell
