#include "export/ketrel_notify.h"

#include <cstdio>

namespace ketrel {
namespace {
MessageBoxHandler gHandler = nullptr;
void* gUser = nullptr;
}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler, void* user, void** previousUser) {
  MessageBoxHandler previous = gHandler;
  if (previousUser) *previousUser = gUser;
  gHandler = handler;
  gUser = user;
  return previous;
}

void ShowMessageBox(const char* title, const char* text) {
  if (gHandler) {
    gHandler(title ? title : "", text ? text : "", gUser);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
}

}  // namespace ketrel
