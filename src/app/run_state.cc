#include "app/run_state.h"

std::string g_disc_root;
orv_io* g_manifest_io = nullptr;
