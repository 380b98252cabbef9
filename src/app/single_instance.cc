#include "app/single_instance.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/localization.h"

namespace installer {

static_assert(kFrontRequestSignal == SIGUSR1);

FrontRequestListener::FrontRequestListener(std::function<void()> onRequest)
    : onRequest_(std::move(onRequest)) {
  sourceId_ = g_unix_signal_add(kFrontRequestSignal, &FrontRequestListener::dispatch, this);
}

FrontRequestListener::~FrontRequestListener() {
  if (sourceId_ != 0) g_source_remove(sourceId_);
}

int FrontRequestListener::dispatch(void* self) {
  auto* listener = static_cast<FrontRequestListener*>(self);
  if (listener->onRequest_) listener->onRequest_();
  return G_SOURCE_CONTINUE;
}

std::optional<RunningApplication> runSingleInstanceCheck(
    const std::shared_ptr<InstallerViewModel>& viewModel, const std::string& bundleIdentifier,
    std::function<void()> terminate, RunningCopyLookup lookup) {
  if (bundleIdentifier.empty() || !viewModel) return std::nullopt;
  std::optional<RunningApplication> other =
      lookup ? lookup(bundleIdentifier) : runningTarget(bundleIdentifier, ::getpid());
  if (!other) return std::nullopt;

  std::string text = platform::localized("Your installer is running now. Please click to start it.");
  std::weak_ptr<InstallerViewModel> weakViewModel = viewModel;
  RunningApplication first = *other;
  std::vector<DialogAction> actions;
  actions.emplace_back(platform::localized("OK"), DialogAction::Role::primary,
                       [weakViewModel, first, terminate = std::move(terminate)] {
                         if (auto vm = weakViewModel.lock()) vm->setDialog(std::nullopt);
                         // The other copy may have gone meanwhile; nothing to bring forward then.
                         if (first.isRunning()) ::kill(first.processIdentifier, kFrontRequestSignal);
                         if (terminate) terminate();
                       });
  viewModel->setDialog(DialogSpec(text, text, std::move(actions), /*showsIcon=*/false));
  return other;
}

}  // namespace installer
