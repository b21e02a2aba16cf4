#include "workstation/windows/about_dlg.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "workstation/windows/app_icons.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About Tabulo");
  setObjectName("aboutDialog");

  auto* icon = new QLabel(this);
  icon->setObjectName("iconLabel");
  icon->setPixmap(veldrin::LoadAppIcon(veldrin::IDI_ABOUT).pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);

  auto* product = new QLabel("Tabulo", this);
  product->setObjectName("productLabel");
  // The second line carries the version the program set at start (none in tests).
  QString about = QStringLiteral("Camera calibration for the printer's table");
  if (!QCoreApplication::applicationVersion().isEmpty())
    about += QStringLiteral(", version ") + QCoreApplication::applicationVersion();
  auto* info = new QLabel(about, this);
  info->setObjectName("infoLabel");

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("okButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  texts->addWidget(product);
  texts->addWidget(info);
  texts->addStretch();
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addStretch();

  auto* layout = new QHBoxLayout(this);
  layout->addWidget(icon);
  layout->addSpacing(8);
  layout->addLayout(texts, 1);
  layout->addSpacing(8);
  layout->addLayout(buttons);
  // A fixed frame, like a classic modal about box.
  layout->setSizeConstraint(QLayout::SetFixedSize);
}
