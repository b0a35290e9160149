package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** The exception-side callback's return value replaces the exception the probed method throws. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.TYPE)
public @interface DiscardThrownException {}
