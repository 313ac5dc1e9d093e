// allocator: the programs' own size-class allocator (placeholder).
#pragma once
