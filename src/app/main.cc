// The installer program: everything it needs comes from its own bundle.
#include "app/app_delegate.h"

int main() { installer::runInstallerApplication({}); }
