// The control case of check-layer-includes: the bottom folder.
#pragma once

int low();
