package com.brantel.probes.tallyscope;

import com.brantel.runtime.Callback;

/**
 * The event table of one monitoring probe, made on the first row rather than at registration, so that a
 * tool that never runs leaves no empty table behind. Probe callbacks run inside the observed program:
 * every method here swallows whatever goes wrong, and a row key of 0 (no row) is accepted everywhere.
 */
final class ProbeTable {
  private final String probeName;
  private final String description;
  // 0 until made; negative once the agent refused the description, which it will do again.
  private volatile int id;
  // Rows that belong to an object (a thread, a process, a test) until their end is seen elsewhere.
  private volatile long rowsByObject;

  /**
   * @param probeName the probe's outer class name, under which the agent files the table
   * @param description "Name\n<column count>\n" and a name and a type line per column
   */
  ProbeTable(String probeName, String description) {
    this.probeName = probeName;
    this.description = description;
  }

  /** A new row, or 0: its start time, thread and (with a "frame" column) stack are taken now. */
  int open() {
    try {
      int table = id();
      return table > 0 ? Callback.createEventTableRow(table) : 0;
    } catch (Throwable ignored) {
      return 0;
    }
  }

  void set(int row, int column, String value) {
    if (row <= 0) {
      return;
    }
    try {
      Callback.setEventTableStringColumn(id, row, column, value);
    } catch (Throwable ignored) {
      // the cell stays empty
    }
  }

  void set(int row, int column, int value) {
    if (row <= 0) {
      return;
    }
    try {
      Callback.setEventTableInt32Column(id, row, column, value);
    } catch (Throwable ignored) {
      // the cell stays empty
    }
  }

  /** Ends the row now. */
  void close(int row) {
    end(row, false, null);
  }

  /** Ends the row now; {@code failure}, when given, fills the "exception_str" column. */
  void close(int row, String failure) {
    end(row, false, failure);
  }

  void close(int row, Throwable thrown) {
    end(row, false, thrown == null ? null : describe(thrown));
  }

  /** Finishes a row that marks a moment, not a span. */
  void closeWithoutEnd(int row) {
    end(row, true, null);
  }

  /** Remembers {@code row} as the open row of {@code owner} without keeping {@code owner} alive. */
  void attach(Object owner, int row) {
    if (row <= 0 || owner == null) {
      return;
    }
    try {
      long map = map();
      if (map != 0) {
        Callback.objectMapPut(map, owner, row, false, 0);
      }
    } catch (Throwable ignored) {
      // the row stays open
    }
  }

  /**
   * The open row of {@code owner}, forgotten, or 0. Of two threads that detach the same owner only one gets
   * the row; a row whose table was cleared in the meantime is gone and gives 0.
   */
  int detach(Object owner) {
    long map = rowsByObject;
    if (map == 0 || owner == null) {
      return 0;
    }
    try {
      int row = Callback.objectMapGet(map, owner);
      return row > 0 && Callback.objectMapPut(map, owner, 0, true, row) == row ? row : 0;
    } catch (Throwable ignored) {
      return 0;
    }
  }

  /** What a thrown exception or failure says about itself; a toString that fails says nothing. */
  static String describe(Object value) {
    try {
      return String.valueOf(value);
    } catch (Throwable ignored) {
      return value.getClass().getName();
    }
  }

  private void end(int row, boolean noEndTime, String failure) {
    if (row <= 0) {
      return;
    }
    try {
      Callback.closeEventTableRow(id, row, noEndTime, failure);
    } catch (Throwable ignored) {
      // the row stays open
    }
  }

  private int id() {
    int table = id;
    if (table != 0) {
      return table;
    }
    synchronized (this) {
      if (id == 0) {
        // A failure (the agent not yet started) leaves 0 behind, so the next row tries again.
        int made = Callback.createEventTable(probeName, description);
        id = made == 0 ? -1 : made;
      }
      return id;
    }
  }

  private long map() {
    long map = rowsByObject;
    if (map != 0) {
      return map;
    }
    synchronized (this) {
      if (rowsByObject == 0) {
        rowsByObject = Callback.createObjectMap();
      }
      return rowsByObject;
    }
  }
}
