// The side of the square textures a dataset's chunks fill, and of the engine's extraction targets:
// vxbuild lays chunks out for it, the engine and the reference extraction read caches with it.
#pragma once

constexpr int kChunkTextureSide = 256;
