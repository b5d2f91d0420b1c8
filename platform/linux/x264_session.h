#pragma once
// The H.264 compression session on libx264. (Placeholder until it lands.)
#include "platform/compression_session.h"
