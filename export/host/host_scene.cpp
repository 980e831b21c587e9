#include "export/host/host_scene.h"
