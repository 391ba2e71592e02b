#include "updater/Updater.h"

Updater::Updater(const char* serverUrl, const char* storageDirectory,
                 UpdaterDisplayInterface& display)
    : serverUrl(serverUrl != nullptr ? serverUrl : ""),
      storageDirectory(storageDirectory != nullptr ? storageDirectory : ""), display(display) {}
