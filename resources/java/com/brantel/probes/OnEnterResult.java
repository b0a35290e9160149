package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** The value onEnter returned for this call. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.PARAMETER)
public @interface OnEnterResult {}
