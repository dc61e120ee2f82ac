#include "ui/ViewMessages.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TViewMessages::TViewMessages(TMessageList& list, QWidget* parent)
    : TViewChild(TViewKind::vkMessage, nullptr, parent), FList(list) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  FEdit = NewTablePane(this);
  layout->addWidget(FEdit, 1);
  auto* buttons = new QHBoxLayout;
  auto* save = new QPushButton(tr("Save Messages"), this);
  auto* clear = new QPushButton(tr("Clear Messages"), this);
  buttons->addWidget(save);
  buttons->addWidget(clear);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  connect(save, &QPushButton::clicked, this, &TViewMessages::SaveWithDialog);
  connect(clear, &QPushButton::clicked, this, &TViewMessages::ClearList);
  Tick();
}

QString TViewMessages::Text() const { return FEdit->toPlainText(); }

void TViewMessages::Tick() {
  const TMsgChanges changes = FList.ReadChanges(FNext);
  FNext = changes.Next;
  if (changes.Rebuild) {
    Rebuild(changes.Items);
    return;
  }
  // Appending keeps a refresh cheap; anything else (a fold, the cap, a
  // clear) changes earlier lines and the text is built again.
  const bool onlyAdded = std::all_of(changes.Changes.begin(), changes.Changes.end(),
                                     [](const TMsgChange& c) { return c.Kind == TMsgChange::TKind::Added; });
  if (!onlyAdded) {
    Rebuild(FList.Snapshot());
    return;
  }
  for (const TMsgChange& change : changes.Changes) {
    FEdit->appendPlainText(QString::fromStdString(ItemToString(change.Item, FHasLast ? &FLast : nullptr)));
    FLast = change.Item;
    FHasLast = true;
  }
}

void TViewMessages::Rebuild(const std::vector<TMessageItem>& items) {
  QString text;
  const TMessageItem* last = nullptr;
  for (const TMessageItem& item : items) {
    text += QString::fromStdString(ItemToString(item, last)) + '\n';
    last = &item;
  }
  if (text.endsWith('\n')) text.chop(1);
  FEdit->setPlainText(text);
  FHasLast = last != nullptr;
  if (last) FLast = *last;
}

void TViewMessages::ClearList() {
  FList.Clear();
  Tick();
}

void TViewMessages::SaveWithDialog() {
  if (FList.Size() == 0) {
    QMessageBox::information(this, tr("Save Messages"), tr("No message to save"));
    return;
  }
  const QString name = QFileDialog::getSaveFileName(this, tr("Save Messages"), QStringLiteral("Messages.txt"),
                                                    tr("Text files (*.txt)"));
  if (name.isEmpty()) return;
  const TMsgSaveResult result = FList.SaveToFile(name.toStdString());
  if (!result.Ok()) QMessageBox::warning(this, tr("Save Messages"), QString::fromStdString(result.Text));
}
