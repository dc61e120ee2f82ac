#pragma once

#include <cstdint>

#include "app/core/App_MessageList.h"
#include "ui/ViewBase.h"

class QPlainTextEdit;

// The message window: the application-wide message list in its text form,
// with buttons to save it to a file and to clear it. It takes what changed
// since its last refresh from the list's change log, so a refresh costs the
// new messages only.
class TViewMessages : public TViewChild {
  Q_OBJECT
 public:
  explicit TViewMessages(TMessageList& list, QWidget* parent = nullptr);
  QString Text() const;
  // Takes the list's changes (every display tick).
  void Tick() override;

 private:
  void SaveWithDialog();
  void ClearList();
  void Rebuild(const std::vector<TMessageItem>& items);

  TMessageList& FList;
  QPlainTextEdit* FEdit = nullptr;
  uint64_t FNext = 0;
  TMessageItem FLast;
  bool FHasLast = false;
};
