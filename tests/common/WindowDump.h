#pragma once
// A window as the operator sees it, one line per thing shown: every widget
// with its texts, state (hidden, disabled, checked, read-only), the values
// and rows it holds, the sizes, fonts and colours the code sets, the layout
// numbers (margins, spacing, stretch, grid cells) and a hash of every icon's
// pixels. Font-dependent geometry is left out, so a dump is the same on any
// machine with the same Qt. Compared with a reviewed copy under tests/
// (`shipped::differs`), it catches a caption typo, a control left disabled
// after an action, a lost row or a changed margin alike.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QChartView>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QTableView>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include "Shipped.h"

namespace windowdump {

// Rows of a list, table or tree shown at each level; the count says the rest.
constexpr int kMaxRows = 40;

inline QString oneLine(QString s) { return s.replace('\r', "\\r").replace('\n', "\\n").replace('\t', "\\t"); }

inline QString iconHash(const QIcon& icon)
{
  if (icon.isNull())
    return {};
  const QImage img = icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
  QByteArray bytes;
  for (int y = 0; y < img.height(); ++y)
    bytes.append(reinterpret_cast<const char*>(img.constScanLine(y)), img.width() * 4);
  return " icon=" + QString::number(qHash(bytes, 0), 16);
}

inline QString size(const char* what, const QSize& s) { return QStringLiteral(" %1=%2x%3").arg(what).arg(s.width()).arg(s.height()); }

inline void actions(QStringList& out, const QString& indent, const QList<QAction*>& list)
{
  for (QAction* a : list) {
    if (a->isSeparator()) {
      out << indent + "---";
      continue;
    }
    QString l = indent + "action " + a->objectName() + " \"" + oneLine(a->text()) + '"';
    if (!a->shortcut().isEmpty())
      l += " key=" + a->shortcut().toString();
    if (!a->isEnabled())
      l += " disabled";
    if (!a->isVisible())
      l += " hidden";
    if (a->isCheckable())
      l += a->isChecked() ? " [x]" : " [ ]";
    out << l + iconHash(a->icon());
    if (a->menu())
      actions(out, indent + "  ", a->menu()->actions());
  }
}

// The rows of a view's model (at most kMaxRows at each level): the text of
// each cell, and its colour, check state and tip where set.
inline void rows(QStringList& out, const QString& indent, const QAbstractItemModel* m, const QModelIndex& parent)
{
  const int n = m->rowCount(parent);
  for (int r = 0; r < n && r < kMaxRows; ++r) {
    QStringList cells;
    for (int c = 0; c < m->columnCount(parent); ++c) {
      const QModelIndex i = m->index(r, c, parent);
      QString cell = oneLine(i.data().toString());
      if (const QVariant v = i.data(Qt::ForegroundRole); v.isValid())
        cell += "{fg " + v.value<QBrush>().color().name() + '}';
      if (const QVariant v = i.data(Qt::BackgroundRole); v.isValid())
        cell += "{bg " + v.value<QBrush>().color().name() + '}';
      if (const QVariant v = i.data(Qt::CheckStateRole); v.isValid())
        cell += "{check " + QString::number(v.toInt()) + '}';
      if (const QVariant v = i.data(Qt::ToolTipRole); v.isValid() && !v.toString().isEmpty())
        cell += "{tip " + oneLine(v.toString()) + '}';
      if (!(m->flags(i) & Qt::ItemIsEnabled))
        cell += "{disabled}";
      cells << cell;
    }
    out << indent + "| " + cells.join(" | ");
    if (m->hasChildren(m->index(r, 0, parent)))
      rows(out, indent + "  ", m, m->index(r, 0, parent));
  }
  if (n > kMaxRows)
    out << indent + QStringLiteral("| ... %1 rows").arg(n);
}

// `place` is where the layout sits in its parent layout.
inline void layout(QStringList& out, const QString& indent, const QString& place, QLayout* l)
{
  const QMargins m = l->contentsMargins();
  QString line = indent + place + "layout " + l->metaObject()->className() +
                 QStringLiteral(" margins=%1,%2,%3,%4 spacing=%5").arg(m.left()).arg(m.top()).arg(m.right()).arg(m.bottom()).arg(l->spacing());
  out << line;
  auto* box = qobject_cast<QBoxLayout*>(l);
  auto* grid = qobject_cast<QGridLayout*>(l);
  for (int i = 0; i < l->count(); ++i) {
    QLayoutItem* item = l->itemAt(i);
    QString where;
    if (grid) {
      int r, c, rs, cs;
      grid->getItemPosition(i, &r, &c, &rs, &cs);
      where += QStringLiteral("(%1,%2 %3x%4) ").arg(r).arg(c).arg(rs).arg(cs);
    }
    if (box && box->stretch(i))
      where += QStringLiteral("stretch=%1 ").arg(box->stretch(i));
    if (item->alignment())
      where += QStringLiteral("align=%1 ").arg(int(item->alignment()));
    if (QWidget* w = item->widget())
      out << indent + "  " + where + "widget " + (w->objectName().isEmpty() ? w->metaObject()->className() : w->objectName());
    else if (QLayout* sub = item->layout())
      layout(out, indent + "  ", where, sub);
    else if (QSpacerItem* s = item->spacerItem())
      out << indent + "  " + where + "spacer" + size("hint", s->sizeHint());
  }
}

// How the code set a widget to behave where that differs from the class's
// own default: alignment, wrapping, frames, selection, limits, stretch.
inline QString behaviour(QWidget* w)
{
  QString b;
  const auto add = [&b](bool set, const QString& what) {
    if (set)
      b += ' ' + what;
  };
  const QSizePolicy p = w->sizePolicy();
  add(p.horizontalStretch() || p.verticalStretch(), QStringLiteral("stretch=%1,%2").arg(p.horizontalStretch()).arg(p.verticalStretch()));
  if (auto* x = qobject_cast<QLabel*>(w)) {
    add(x->alignment() != (Qt::AlignLeft | Qt::AlignVCenter), QStringLiteral("align=%1").arg(int(x->alignment())));
    add(x->wordWrap(), "wrap");
    add(x->textInteractionFlags() & Qt::TextSelectableByMouse, "selectable");
    add(x->frameShape() != QFrame::NoFrame, QStringLiteral("frame=%1").arg(int(x->frameShape())));
  }
  if (auto* x = qobject_cast<QLineEdit*>(w)) {
    add(x->alignment() != (Qt::AlignLeft | Qt::AlignVCenter), QStringLiteral("align=%1").arg(int(x->alignment())));
    add(x->maxLength() != 32767, QStringLiteral("maxlength=%1").arg(x->maxLength()));
    add(x->echoMode() != QLineEdit::Normal, "hidden-text");
  }
  if (auto* x = qobject_cast<QAbstractItemView*>(w)) {
    b += QStringLiteral(" select=%1/%2").arg(int(x->selectionMode())).arg(int(x->selectionBehavior()));
    add(x->alternatingRowColors(), "alternating");
    add(x->editTriggers() == QAbstractItemView::NoEditTriggers, "no-edit");
  }
  if (auto* x = qobject_cast<QTreeView*>(w))
    add(!x->rootIsDecorated(), "flat");
  if (auto* x = qobject_cast<QTableView*>(w))
    add(x->horizontalHeader()->stretchLastSection(), "last-column-stretches");
  if (auto* x = qobject_cast<QToolButton*>(w))
    add(x->arrowType() != Qt::NoArrow, QStringLiteral("arrow=%1").arg(int(x->arrowType())));
  if (auto* x = qobject_cast<QComboBox*>(w))
    add(x->minimumContentsLength() > 0, QStringLiteral("min-chars=%1").arg(x->minimumContentsLength()));
  if (auto* x = qobject_cast<QAbstractSpinBox*>(w))
    add(x->alignment() != (Qt::AlignLeft | Qt::AlignVCenter), QStringLiteral("align=%1").arg(int(x->alignment())));
  if (auto* x = qobject_cast<QSpinBox*>(w))
    add(!x->suffix().isEmpty() || !x->prefix().isEmpty(), '"' + x->prefix() + "#" + x->suffix() + '"');
  if (auto* x = qobject_cast<QPlainTextEdit*>(w)) {
    add(x->lineWrapMode() != QPlainTextEdit::WidgetWidth, "no-wrap");
    add(x->maximumBlockCount() > 0, QStringLiteral("max-lines=%1").arg(x->maximumBlockCount()));
  }
  if (auto* x = qobject_cast<QProgressBar*>(w))
    add(!x->isTextVisible(), "no-text");
  return b;
}

inline void widget(QStringList& out, const QString& indent, QWidget* w, QWidget* top)
{
  const QString name = w->objectName().startsWith("qt_") ? QString() : w->objectName();
  QString l = indent + w->metaObject()->className() + (name.isEmpty() ? QString() : ' ' + name);
  if (w != top && !w->isVisibleTo(top))
    l += " hidden";
  if (!w->isEnabled())
    l += " disabled";
  if (w->isWindow())
    l += " \"" + w->windowTitle() + '"' + iconHash(w->windowIcon()) + (w->isModal() ? " modal" : "");
  else if (!qobject_cast<QChartView*>(w)) { // a chart's own minimum follows its fonts
    if (w->minimumSize() != QSize(0, 0))
      l += size("min", w->minimumSize());
    if (w->maximumSize() != QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX))
      l += size("max", w->maximumSize());
  }
  if (w->testAttribute(Qt::WA_SetFont))
    l += QStringLiteral(" font=%1%2%3").arg(w->font().pointSize()).arg(w->font().bold() ? "b" : "").arg(w->font().italic() ? "i" : "");
  if (!w->styleSheet().isEmpty())
    l += " style=" + oneLine(w->styleSheet());
  if (w->testAttribute(Qt::WA_SetPalette))
    l += " colours=" + w->palette().color(w->foregroundRole()).name() + '/' + w->palette().color(w->backgroundRole()).name();
  if (!w->toolTip().isEmpty())
    l += " tip=\"" + oneLine(w->toolTip()) + '"';
  l += behaviour(w);
  if (auto* x = qobject_cast<QLabel*>(w))
    l += " \"" + oneLine(x->text()) + '"' + (x->pixmap().isNull() ? QString() : iconHash(QIcon(x->pixmap())));
  else if (auto* x = qobject_cast<QAbstractButton*>(w))
    l += " \"" + oneLine(x->text()) + '"' + (x->isCheckable() ? (x->isChecked() ? " [x]" : " [ ]") : QString()) + iconHash(x->icon());
  else if (auto* x = qobject_cast<QGroupBox*>(w))
    l += " \"" + oneLine(x->title()) + '"';
  else if (auto* x = qobject_cast<QLineEdit*>(w)) {
    l += " \"" + oneLine(x->text()) + '"';
    if (x->isReadOnly())
      l += " read-only";
  } else if (auto* x = qobject_cast<QComboBox*>(w)) {
    QStringList items;
    for (int i = 0; i < x->count(); ++i)
      items << oneLine(x->itemText(i));
    l += QStringLiteral(" [%1] = %2").arg(items.join(" | ")).arg(x->currentIndex()) + (x->isEditable() ? " editable" : "");
  } else if (auto* x = qobject_cast<QSpinBox*>(w))
    l += QStringLiteral(" %1 (%2..%3)").arg(x->value()).arg(x->minimum()).arg(x->maximum());
  else if (auto* x = qobject_cast<QProgressBar*>(w))
    l += QStringLiteral(" %1 (%2..%3)").arg(x->value()).arg(x->minimum()).arg(x->maximum());
  out << l;
  if (auto* x = qobject_cast<QPlainTextEdit*>(w))
    for (const QString& t : x->toPlainText().split('\n'))
      out << indent + "  > " + oneLine(t);
  if (auto* x = qobject_cast<QAbstractItemView*>(w); x && x->model()) {
    QStringList heads;
    for (int c = 0; c < x->model()->columnCount(); ++c)
      heads << oneLine(x->model()->headerData(c, Qt::Horizontal).toString());
    out << indent + "  # " + heads.join(" | ") +
               (x->currentIndex().isValid()
                    ? QStringLiteral(" (current %1,%2)").arg(x->currentIndex().row()).arg(x->currentIndex().column())
                    : QString());
    rows(out, indent + "  ", x->model(), x->rootIndex());
  }
  if (auto* x = qobject_cast<QChartView*>(w))
    for (const QAbstractSeries* series : x->chart()->series())
      out << indent + "  ~ " + series->name();
  if (auto* x = qobject_cast<QMenuBar*>(w))
    actions(out, indent + "  ", x->actions());
  else if (!qobject_cast<QMenu*>(w) && !w->actions().isEmpty())
    actions(out, indent + "  ", w->actions());
  if (w->layout())
    layout(out, indent + "  ", {}, w->layout());
  for (QObject* o : w->children())
    if (auto* c = qobject_cast<QWidget*>(o); c && !c->isWindow() && !qobject_cast<QMenu*>(c) &&
                                              !c->objectName().startsWith("qt_") && !qobject_cast<QHeaderView*>(c))
      // A view's own parts (viewport, scroll bars) hold nothing of ours.
      if (!qobject_cast<QAbstractScrollArea*>(w) && !qobject_cast<QComboBox*>(w) && !qobject_cast<QLineEdit*>(w) &&
          !qobject_cast<QAbstractSpinBox*>(w) && !qobject_cast<QMenuBar*>(w))
        widget(out, indent + "  ", c, top);
}

// The dump of a window; `normalise` replaces what changes from run to run
// (times, paths) with fixed words.
inline QStringList dump(QWidget* top, const std::function<QString(QString)>& normalise = {})
{
  QStringList out;
  widget(out, QString(), top, top);
  if (normalise)
    for (QString& l : out)
      l = normalise(l);
  return out;
}

}
