#pragma once

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

namespace ipcam::ui {

// The OK / Cancel row at the bottom right of a settings dialog: Enter presses OK, Cancel and
// Esc reject. The dialog's own accept() and reject() overrides are what the buttons call.
inline QHBoxLayout* okCancelRow(QDialog* dialog, QPushButton* ok, QPushButton* cancel) {
  ok->setDefault(true);
  cancel->setAutoDefault(false);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(ok);
  row->addWidget(cancel);
  return row;
}

}  // namespace ipcam::ui
