#include "skins/PickOnlyCombo.h"

#include <QComboBox>
#include <QLineEdit>

namespace tw {

void makePickOnly(QComboBox* box) {
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setCompleter(nullptr);
    QObject::disconnect(box->lineEdit(), &QLineEdit::editingFinished, box, nullptr);
    QObject::disconnect(box->lineEdit(), &QLineEdit::returnPressed, box, nullptr);
}

} // namespace tw
