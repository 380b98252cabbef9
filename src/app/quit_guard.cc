#include "app/quit_guard.h"

#include <utility>

namespace installer {

bool guardQuit(InstallerViewModel& viewModel, const std::function<void()>& bringToFront,
               std::function<void()> quitHandler) {
  if (!viewModel.isBusy()) return true;
  if (bringToFront) bringToFront();
  viewModel.confirmQuit(std::move(quitHandler));
  return false;
}

}  // namespace installer
