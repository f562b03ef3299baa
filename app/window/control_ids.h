// Every control carries its numeric id (property "controlId", object name
// "id<number>"), so the program and the tests reach controls by id.
#pragma once

#include <QVariant>
#include <QWidget>

namespace sequelo::app {

inline void SetControlId(QObject* control, int id) {
  control->setProperty("controlId", id);
  control->setObjectName(QStringLiteral("id%1").arg(id));
}

// The control with `id` among the children of `root`; nullptr if none.
template <typename T = QWidget>
T* FindControl(const QObject* root, int id) {
  return root->findChild<T*>(QStringLiteral("id%1").arg(id));
}

}  // namespace sequelo::app
