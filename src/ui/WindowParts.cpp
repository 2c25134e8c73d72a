#include "WindowParts.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

namespace tesmira {

QHBoxLayout* OkCancelRow(QWidget* dialog, QPushButton*& ok, QPushButton*& cancel, QWidget* left)
{
  ok = new QPushButton("OK", dialog);
  ok->setObjectName("cmdOK");
  ok->setDefault(true);
  cancel = new QPushButton("Cancel", dialog);
  cancel->setObjectName("cmdCancel");
  auto* row = new QHBoxLayout;
  if (left)
    row->addWidget(left);
  row->addStretch(1);
  row->addWidget(ok);
  row->addWidget(cancel);
  return row;
}

QTableWidget* ListGrid(QWidget* parent, const char* name)
{
  auto* g = new QTableWidget(parent);
  g->setObjectName(QString::fromLatin1(name));
  g->setEditTriggers(QAbstractItemView::NoEditTriggers);
  g->setSelectionBehavior(QAbstractItemView::SelectRows);
  g->setAlternatingRowColors(true);
  g->verticalHeader()->hide();
  g->verticalHeader()->setDefaultSectionSize(g->fontMetrics().height() + 6);
  g->horizontalHeader()->setStretchLastSection(true);
  return g;
}

}
