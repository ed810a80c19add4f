# The selection store and the photo text formatters, part of lunvik_store.
set(LUNVIK_STORE_SELECTION_SOURCES galleryselectionstore.cpp photoformatters.cpp)
