# The Qt layers and their Qt Test suites spend most of their compile time
# reading the same Qt headers. The headers are compiled once per set and
# reused by every target of their kind:
#   cvf_qt_headers(target)        the widgets, the window, the tools
#   cvf_qt_headers(target TEST)   the Qt Test suites; one set per folder,
#                                 as Qt Test defines the folder it runs in
# A target whose flags differ from the set's just reads the headers again
# (GCC falls back to the text; -Winvalid-pch says so).
set(cvf_qt_headers_common
  <QAccessible> <QAccessibleWidget> <QApplication> <QColor> <QDir>
  <QElapsedTimer> <QEvent> <QFile> <QImage> <QLabel> <QMouseEvent>
  <QPainter> <QRect> <QRegion> <QString> <QStringList> <QThread> <QTimer>
  <QWidget>)
set(cvf_qt_headers_host ${CMAKE_CURRENT_LIST_DIR}/QtHeaders.cpp)

add_library(cvf_qt_headers_lib STATIC ${cvf_qt_headers_host})
target_link_libraries(cvf_qt_headers_lib PRIVATE Qt6::Widgets)
target_precompile_headers(cvf_qt_headers_lib PRIVATE ${cvf_qt_headers_common})

function(cvf_qt_headers target)
  if(NOT ARGN STREQUAL "TEST")
    target_precompile_headers(${target} REUSE_FROM cvf_qt_headers_lib)
    return()
  endif()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(MAKE_C_IDENTIFIER "cvf_qt_headers_${folder}" host)
  if(NOT TARGET ${host})
    add_library(${host} STATIC ${cvf_qt_headers_host})
    target_link_libraries(${host} PRIVATE Qt6::Widgets Qt6::Test)
    target_precompile_headers(${host} PRIVATE ${cvf_qt_headers_common} <QtTest>)
  endif()
  target_precompile_headers(${target} REUSE_FROM ${host})
endfunction()
