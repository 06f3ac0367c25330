// Host of the precompiled Qt headers (see QtHeaders.cmake).
